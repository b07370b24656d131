/*
 * The per-test leak check: a GoogleTest listener registered at start-up.
 *
 * GoogleTest calls the listeners' OnTestEnd in reverse order of registration, so this one,
 * appended after the result printer, checks before the printer reports the test: a leak shows
 * as that test's failure. The fixture's TearDown and destructor have run by the time
 * OnTestEnd is called, so everything a test owns has been released.
 */
#include "leak_check.h"

#include "clock.h"
#include "faults.h"

namespace platform::testing
{

void LeakCheck::OnTestStart(const ::testing::TestInfo &)
{
    before_ = accounting::counts();
}

void LeakCheck::OnTestEnd(const ::testing::TestInfo &)
{
    faults::reset();
    clock::set_manual(false);
    std::string leaks = accounting::leaks_since(before_);
    if (!leaks.empty())
        ADD_FAILURE() << "kernel resources leaked by this test: " << leaks;
}

} // namespace platform::testing

namespace
{

bool install()
{
    ::testing::UnitTest::GetInstance()->listeners().Append(new platform::testing::LeakCheck);
    return true;
}

// Registered before main: the object library is always linked in whole.
[[maybe_unused]] const bool installed = install();

} // namespace
