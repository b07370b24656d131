// Kernel variant: the trace goes to the kernel console, whose log the platform keeps for tests.
#include "trace_capture.h"

#include "console_log.h"

namespace tracetest
{

void startCapture()
{
    platform::console::take();
}

std::string takeOutput()
{
    return platform::console::take();
}

void stopCapture() {}

} // namespace tracetest
