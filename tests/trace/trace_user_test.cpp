// The user variant's own behaviour: the decorated header, the trace file and the assertion
// reporter that ends the process.
#include "trace_capture.h"

#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{

using tracetest::takeOutput;
using tracetest::TraceTest;

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string tempPath(const char *tag)
{
    return "/tmp/nvx-trace-" + std::string(tag) + "-" + std::to_string(getpid());
}

int openDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// The header as the facility would print it at time t for the given flags.
std::string headerAt(std::time_t t, int flags)
{
    struct tm local = {};
    localtime_r(&t, &local);
    char text[128];
    std::string header = "NVX";
    if (flags & 1)
        header += " [" + std::to_string(getpid()) + "]";
    if (flags & 2) {
        std::snprintf(text, sizeof text, " %02d/%02d/%02d", local.tm_mon + 1, local.tm_mday,
                      local.tm_year - 100);
        header += text;
    }
    if (flags & 4) {
        std::snprintf(text, sizeof text, " %02d.%02d.%02d", local.tm_hour, local.tm_min,
                      local.tm_sec);
        header += text;
    }
    return header + ": ";
}

TEST_F(TraceTest, UserHeaderCarriesPidDateAndTimeAsFlagged)
{
    _debug(1);
    for (int flags = 0; flags < 8; ++flags) {
        _dsetheader("NVX", flags);
        const std::time_t before = std::time(nullptr);
        _dprintf("hello\n");
        const std::time_t after = std::time(nullptr);
        const std::string out = takeOutput();
        // The clock may tick between the reads: either second is right.
        bool matched = false;
        for (std::time_t t = before; t <= after && !matched; ++t)
            matched = out == headerAt(t, flags) + "hello\n";
        EXPECT_TRUE(matched) << "flags " << flags << ": " << out;
    }
}

TEST_F(TraceTest, UserHeaderShape)
{
    _debug(1);
    _dsetheader("NVX", 7);
    _dprintf("msg\n");
    const std::string out = takeOutput();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        out, m, std::regex(R"(NVX \[(\d+)\] (\d\d)/(\d\d)/(\d\d) (\d\d)\.(\d\d)\.(\d\d): msg\n)")))
        << out;
    EXPECT_EQ(std::stoi(m[1]), getpid());
    EXPECT_GE(std::stoi(m[2]), 1);
    EXPECT_LE(std::stoi(m[2]), 12);
}

TEST_F(TraceTest, UserHeaderIsCutAt99Characters)
{
    const std::string name(79, 'N');
    _dsetheader(name.c_str(), 7);
    _debug(1);
    _dprintf("tail\n");
    const std::string out = takeOutput();
    // 79 + " [pid]" + " mm/dd/yy" + " hh.mm.ss" + ": " is longer than 99.
    ASSERT_EQ(out.size(), 99u + 5u) << out;
    EXPECT_EQ(out.substr(0, 79), name);
    EXPECT_EQ(out.substr(79, 3 + std::to_string(getpid()).size()),
              " [" + std::to_string(getpid()) + "]");
    EXPECT_EQ(out.substr(99), "tail\n");
}

TEST(TraceFile, OpenAppendsAndFlushesEveryPiece)
{
    const std::string path = tempPath("append");
    {
        std::ofstream(path) << "old line\n";
    }
    _dsetheader("NVX", 0);
    _debug(1);
    _dopen(path.c_str());
    _dprintf("new line\n");
    // Read while the stream is still open: the piece must already be in the file.
    EXPECT_EQ(readFile(path), "old line\nNVX: new line\n");
    _dclose();
    _debug(0);
    std::filesystem::remove(path);
}

TEST(TraceFile, SecondOpenClosesTheFirstFile)
{
    const std::string first = tempPath("first");
    const std::string second = tempPath("second");
    const int descriptorsBefore = openDescriptors();
    _dsetheader("", 0);
    _debug(1);
    _dopen(first.c_str());
    _dprintf("one\n");
    _dopen(second.c_str());
    EXPECT_EQ(openDescriptors(), descriptorsBefore + 1); // the first file is closed
    _dprintf("two\n");
    _dclose();
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    EXPECT_EQ(readFile(first), "one\n");
    EXPECT_EQ(readFile(second), "two\n");
    _debug(0);
    std::filesystem::remove(first);
    std::filesystem::remove(second);
}

// Runs body with standard output sent to a file and returns what it wrote there.
template <typename Body> std::string captureStdout(Body body)
{
    const std::string path = tempPath("stdout");
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string text = readFile(path);
    std::filesystem::remove(path);
    return text;
}

TEST(TraceFile, UnopenableFileFallsBackToStandardOutput)
{
    const std::string path = tempPath("before");
    _dsetheader("", 0);
    _debug(1);
    _dopen(path.c_str());
    const std::string out = captureStdout([] {
        _dopen("/nonexistent-nvx-dir/trace");
        _dprintf("to stdout\n");
    });
    EXPECT_EQ(out, "to stdout\n");
    EXPECT_EQ(dbgfp, stdout);
    EXPECT_EQ(readFile(path), ""); // the earlier file was closed, not written
    _debug(0);
    std::filesystem::remove(path);
}

TEST(TraceFile, OutputAfterCloseGoesToStandardOutput)
{
    const std::string path = tempPath("closed");
    _dsetheader("", 0);
    _debug(1);
    _dopen(path.c_str());
    _dclose();
    _dclose(); // nothing left to close
    const std::string out = captureStdout([] { _dprintf("after close\n"); });
    EXPECT_EQ(out, "after close\n");
    EXPECT_EQ(readFile(path), "");
    _debug(0);
    std::filesystem::remove(path);
}

TEST(TraceAssertDeathTest, DoesNothingWhileTracingIsOff)
{
    EXPECT_EXIT(
        {
            dbgfp = stderr;
            _debug(0);
            _dassert("x > 0", 42, "queue.cpp");
            std::fputs("carried on", stderr);
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "^carried on$");
}

TEST(TraceAssertDeathTest, ReportsAndExitsWithStatusOne)
{
    EXPECT_EXIT(
        {
            dbgfp = stderr;
            _dsetheader("", 0);
            _debug(1);
            _dassert("x > 0", 42, "queue.cpp");
        },
        ::testing::ExitedWithCode(1), "^x > 0: failed on line 42 in queue\\.cpp\n$");
}

} // namespace
