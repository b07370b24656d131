// Several threads pass messages through a module (putnext from the driver's read side and
// putmsg down) while another thread pushes and pops modules on the same stream and opens and
// closes other streams. Every message must arrive exactly once and nothing may leak.
#include "test_driver.h"

#include "queue_pair.h"
#include "stream_head.h"

#include "nvx_testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace
{

using namespace platform::streams;

TEST(StreamsConcurrency, PutnextThroughModulesWhilePlumbingChanges)
{
    ASSERT_EQ(tdrv::install(), 0);
    ASSERT_EQ(tdrv::install_modules(), 0);
    {
        FilePtr f;
        ASSERT_EQ(open("/dev/tdrv", FREAD | FWRITE, Caller{77, 0, 0, IOC_NATIVE}, &f), 0);
        ASSERT_EQ(f->push("tmodA"), 0);
        constexpr int kThreads = 3, kPerThread = 2000;
        std::atomic<bool> stop{false};
        std::atomic<int> plumb_rounds{0};
        std::thread plumber([&] {
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!stop.load() && std::chrono::steady_clock::now() < until) {
                EXPECT_EQ(f->push("tmodB"), 0);
                FilePtr other;
                EXPECT_EQ(open("/dev/tdrv", FREAD | FWRITE, Caller{}, &other), 0);
                if (other) {
                    EXPECT_EQ(other->push("tmodA"), 0);
                }
                other.reset();
                EXPECT_EQ(f->pop(), 0);
                plumb_rounds.fetch_add(1);
            }
        });
        std::vector<std::thread> senders;
        for (int t = 0; t < kThreads; ++t) {
            senders.emplace_back([&, t] {
                char byte = static_cast<char>('a' + t);
                struct strbuf data = {0, 1, &byte};
                for (int i = 0; i < kPerThread; ++i) {
                    if (i % 2)
                        f->inject_up(platform::testing::make_message("u"));
                    else
                        EXPECT_EQ(f->putmsg(nullptr, &data, 0), 0); // echoed by the driver
                }
            });
        }
        for (auto &s : senders)
            s.join();
        while (plumb_rounds.load() < 5)
            std::this_thread::yield();
        stop.store(true);
        plumber.join();
        EXPECT_EQ(f->messages_received(), uint64_t{kThreads} * kPerThread);
        EXPECT_EQ(f->messages_waiting(), size_t{kThreads} * kPerThread);
    }
    tdrv::uninstall_modules();
    tdrv::uninstall();
}

} // namespace
