// Where the trace facility's output lands, seen from a test: the same test sources run against
// the user variant (output captured through a trace file) and the kernel variant (output read
// back from the console log).
#ifndef NVX_TESTS_TRACE_CAPTURE_H
#define NVX_TESTS_TRACE_CAPTURE_H

#include "debug.h"

#include <gtest/gtest.h>

#include <string>

namespace tracetest
{

// Starts catching trace output (and drops anything printed before).
void startCapture();

// Everything printed since the last call, in order.
std::string takeOutput();

// Stops catching (releases what startCapture took).
void stopCapture();

// Every test starts from the settings the facility has at load time.
class TraceTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        _debug(0);
        _dsetlevel(0, 1);
        _dsetheader("", 7);
        startCapture();
    }
    void TearDown() override
    {
        stopCapture();
        _debug(0);
    }
};

} // namespace tracetest

#endif
