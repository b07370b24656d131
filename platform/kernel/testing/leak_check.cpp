/*
 * The per-test leak check: a GoogleTest listener registered at start-up.
 *
 * It runs before the result printer (it is inserted ahead of it), so a leak it reports shows
 * as that test's failure. The fixture's TearDown and destructor have run by the time
 * OnTestEnd is called, so everything a test owns has been released.
 */
#include <gtest/gtest.h>

#include "accounting.h"
#include "clock.h"
#include "faults.h"

namespace
{

class LeakCheck : public ::testing::EmptyTestEventListener
{
  public:
    void OnTestStart(const ::testing::TestInfo &) override
    {
        before_ = platform::accounting::counts();
    }

    void OnTestEnd(const ::testing::TestInfo &) override
    {
        platform::faults::reset();
        platform::clock::set_manual(false);
        std::string leaks = platform::accounting::leaks_since(before_);
        if (!leaks.empty())
            ADD_FAILURE() << "kernel resources leaked by this test: " << leaks;
    }

  private:
    platform::accounting::Counts before_;
};

bool install()
{
    ::testing::TestEventListeners &listeners = ::testing::UnitTest::GetInstance()->listeners();
    ::testing::TestEventListener *printer = listeners.Release(listeners.default_result_printer());
    listeners.Append(new LeakCheck);
    if (printer != nullptr)
        listeners.Append(printer);
    return true;
}

// Registered before main: the object library is always linked in whole.
[[maybe_unused]] const bool installed = install();

} // namespace
