/*
 * The listener that nvx_platform_testing installs in every test program (nvx_testing.h).
 */
#ifndef NVX_PLATFORM_TESTING_LEAK_CHECK_H
#define NVX_PLATFORM_TESTING_LEAK_CHECK_H

#include <gtest/gtest.h>

#include "accounting.h"

namespace platform::testing
{

// Records the accounting at the start of each test; at its end puts fault injection and the
// clock back to their defaults and fails the test if more is outstanding than at its start.
class LeakCheck : public ::testing::EmptyTestEventListener
{
  public:
    void OnTestStart(const ::testing::TestInfo &info) override;
    void OnTestEnd(const ::testing::TestInfo &info) override;

  private:
    accounting::Counts before_;
};

} // namespace platform::testing

#endif
