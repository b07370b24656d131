// User variant: the trace goes to a temporary trace file opened with _dopen; reading it back
// empties it (the stream appends, so it carries on at the new end).
#include "trace_capture.h"

#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <unistd.h>

namespace tracetest
{
namespace
{
std::string path;
}

void startCapture()
{
    char name[] = "/tmp/nvx-trace-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path = name;
    _dopen(path.c_str());
}

std::string takeOutput()
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_EQ(truncate(path.c_str(), 0), 0);
    return text.str();
}

void stopCapture()
{
    _dclose();
    if (!path.empty())
        unlink(path.c_str());
    path.clear();
}

} // namespace tracetest
