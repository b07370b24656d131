// Trace calls from several threads at once. Each call formats in its own buffers, so every piece
// of output must come out whole: a static buffer shared by the calls would mix texts. Built
// against each variant; also run under ThreadSanitizer, which checks that the lock-free settings
// are read and written without a data race.
#include "trace_capture.h"

#include <atomic>
#include <map>
#include <cctype>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

using tracetest::takeOutput;
using tracetest::TraceTest;

constexpr int kThreads = 4;
constexpr int kMessages = 150;

// A long message that says who wrote it; its payload can be checked from the prefix alone.
std::string payload(int thread, int seq)
{
    return std::string(600 + (seq % 7) * 50, static_cast<char>('a' + (thread * 7 + seq) % 26));
}

std::string message(int thread, int seq)
{
    return "T" + std::to_string(thread) + " M" + std::to_string(seq) + " " + payload(thread, seq) +
           "\n";
}

// A dump line of 16 bytes that are all the thread's own letter.
std::string dumpLine(int thread)
{
    const std::string hex = thread == 0 ? "41" : thread == 1 ? "42" : thread == 2 ? "43" : "44";
    std::string line = "0000 - ";
    for (int i = 0; i < 8; ++i)
        line += hex + hex + " ";
    return line + "-  " + std::string(16, static_cast<char>('A' + thread)) + "\n";
}

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line + "\n");
    return out;
}

TEST_F(TraceTest, ConcurrentMessagesAndDumpsStayWhole)
{
    _debug(1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::string own(16, static_cast<char>('A' + t));
            for (int seq = 0; seq < kMessages; ++seq) {
                _dprintf("T%d M%d %s\n", t, seq, payload(t, seq).c_str());
                if (seq % 10 == 0)
                    dumpmem(own.data(), 16);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    std::map<std::string, int> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int seq = 0; seq < kMessages; ++seq)
            ++expected[message(t, seq)];
        expected[dumpLine(t)] += kMessages / 10;
    }
    std::map<std::string, int> seen;
    for (const std::string &line : lines(takeOutput()))
        ++seen[line];
    EXPECT_EQ(seen.size(), expected.size());
    EXPECT_TRUE(seen == expected) << "some piece of output was mixed or lost";
}

TEST_F(TraceTest, SettingsChangeWhileOtherThreadsTrace)
{
    _debug(1);
    _dsetlevel(16, 2);
    std::atomic<bool> stop{false};
    std::thread changer([&stop] {
        const char *names[] = {"NVX", "", "HDR"};
        for (int round = 0; round < 2000 && !stop.load(std::memory_order_relaxed); ++round) {
            _dsetheader(names[round % 3], 0);
            _dsetlevel(round % 2 ? 16 : 0x30, 2);
            if (round % 5 == 0)
                _dbitoff(2);
            else
                _dbiton(2);
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int seq = 0; seq < kMessages; ++seq)
                _dlprintf(16, "T%d M%d %s\n", t, seq, payload(t, seq).c_str());
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    stop.store(true, std::memory_order_relaxed);
    changer.join();

    // Headers and messages are separate pieces, so another thread's header may come before a
    // message (and a header read while it changes may mix two names); what follows the headers
    // must be one whole message.
    int messages = 0;
    for (const std::string &line : lines(takeOutput())) {
        size_t start = 0;
        while (start < line.size() && std::isupper(static_cast<unsigned char>(line[start]))) {
            size_t end = line.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ", start);
            if (line.compare(end, 2, ": ") != 0)
                break;
            start = end + 2;
        }
        int thread = -1;
        int seq = -1;
        ASSERT_EQ(std::sscanf(line.c_str() + start, "T%d M%d ", &thread, &seq), 2)
            << line.substr(0, 80);
        EXPECT_EQ(line.substr(start), message(thread, seq)) << line.substr(0, 80);
        ++messages;
    }
    EXPECT_EQ(messages, kThreads * kMessages); // bit 1 of the switch stayed on all along
}

} // namespace
