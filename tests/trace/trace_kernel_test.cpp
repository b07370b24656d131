// The kernel variant's own behaviour: a plain "name: " header whatever the flags, no trace file,
// and an assertion reporter that panics the system.
#include "trace_capture.h"

#include "console_log.h"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace
{

using tracetest::takeOutput;
using tracetest::TraceTest;

TEST_F(TraceTest, KernelHeaderIgnoresTheDecorationFlags)
{
    _debug(1);
    for (int flags : {0, 1, 2, 4, 7}) {
        _dsetheader("NVX", flags);
        _dprintf("msg %d\n", flags);
        EXPECT_EQ(takeOutput(), "NVX: msg " + std::to_string(flags) + "\n");
    }
}

TEST_F(TraceTest, KernelLongestHeaderIsNotCut)
{
    const std::string name(79, 'K');
    _dsetheader(name.c_str(), 7);
    _debug(1);
    _dprintf("m\n");
    EXPECT_EQ(takeOutput(), name + ": m\n");
}

TEST_F(TraceTest, KernelHasNoTraceFile)
{
    _debug(1);
    _dopen("/tmp/nvx-kernel-trace-must-not-exist");
    _dprintf("still on the console\n");
    _dclose();
    EXPECT_EQ(takeOutput(), "still on the console\n");
    EXPECT_NE(access("/tmp/nvx-kernel-trace-must-not-exist", F_OK), 0);
}

TEST(KernelAssertDeathTest, DoesNothingWhileTracingIsOff)
{
    EXPECT_EXIT(
        {
            _debug(0);
            _dassert("x > 0", 42, "queue.cpp");
            std::fputs("carried on", stderr);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "^carried on$");
}

TEST(KernelAssertDeathTest, ReportsOnTheConsoleAndPanics)
{
    EXPECT_DEATH(
        {
            platform::console::set_echo(true); // the console's lines also reach stderr
            _dsetheader("NVX", 0);
            _debug(1);
            _dassert("x > 0", 42, "queue.cpp");
        },
        "NVX: x > 0: failed on line 42 in queue\\.cpp\n.*panic: _dassert panic");
}

} // namespace
