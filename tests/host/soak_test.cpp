// The host never leaks: thousands of streams and connections opened and closed (one after
// another and many at once, some closed while a request sleeps in the driver) leave its
// descriptors, threads, message blocks and kernel memory where they were.
#include "host_process.h"
#include "scenarios.h"

#include "nvx_user.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace hosttest;
using Clock = std::chrono::steady_clock;

namespace
{

// Waits until the host serves nothing but the asking admin connection; returns its stats.
std::map<std::string, long long> quiet_stats(HostProcess &h)
{
    std::map<std::string, long long> s;
    for (int i = 0; i < 500; ++i) {
        s = h.stats();
        if (s["connections"] == 1)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return s;
}

// The admin connection that asked for the stats is still going away when they arrive: wait
// (10 s at most) for a count to come down to `target`; returns the last value seen.
template <typename F> std::size_t settled(F count, std::size_t target)
{
    std::size_t n = count();
    for (int i = 0; i < 500 && n > target; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        n = count();
    }
    return n;
}

} // namespace

TEST(HostSoak, OpeningAndClosingThousandsOfStreamsLeavesNothingBehind)
{
    HostProcess host;
    ASSERT_TRUE(host.start(streamhost_path(), {"--modload", thost_path()})) << host.error();
    // Warm up once so that lazily made things (thread caches, the driver's tables) exist.
    int w = open_thost();
    ASSERT_GE(w, 0);
    nvx_close(w);
    auto base = quiet_stats(host);
    ASSERT_EQ(base["connections"], 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pid_t hp = host.pid();
    std::size_t base_fds = count_fds(hp), base_threads = count_threads(hp);

    auto deadline = Clock::now() + std::chrono::seconds(90);
    int cycles = 0;
    for (; cycles < 3000 && Clock::now() < deadline; ++cycles) {
        int fd = nvx_open("/dev/thost", O_RDWR);
        ASSERT_GE(fd, 0) << "cycle " << cycles;
        if (cycles % 2 == 0) {
            char data[8] = "soak";
            ASSERT_EQ(th_ioctl(fd, TH_ECHO, data, 4), 4);
        }
        if (cycles % 50 == 0) {
            // Closed while its request sleeps in the driver (the closing thread is not the
            // waiting one, as when a process exits with a thread blocked).
            std::thread t([fd] {
                th_wait wt{TH_SLEEP, 30000};
                struct strbuf ctl {
                    0, sizeof wt, reinterpret_cast<char *>(&wt)
                };
                putmsg(fd, &ctl, nullptr, RS_HIPRI);
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ::shutdown(fd, SHUT_RDWR);
            t.join();
        }
        nvx_close(fd);
    }
    // Many at once, some of them admin sessions.
    std::vector<int> many;
    for (int i = 0; i < 200 && Clock::now() < deadline; ++i) {
        int fd = nvx_open("/dev/thost", O_RDWR);
        ASSERT_GE(fd, 0);
        many.push_back(fd);
        if (i % 20 == 0)
            host.stats();
    }
    for (int fd : many)
        nvx_close(fd);
    EXPECT_GE(cycles, 500) << "too few cycles to mean anything";

    auto after = quiet_stats(host);
    EXPECT_EQ(after["connections"], 1);
    EXPECT_EQ(after["msg_outstanding"], 0) << "message blocks";
    EXPECT_EQ(after["kmem_live"], base["kmem_live"]);
    EXPECT_EQ(after["umem_live"], base["umem_live"]) << "every region freed by the close";
    EXPECT_EQ(settled([&] { return count_fds(hp); }, base_fds), base_fds)
        << "descriptors of the host";
    EXPECT_EQ(settled([&] { return count_threads(hp); }, base_threads), base_threads)
        << "threads of the host";
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    th_stats st = stats_of(fd);
    EXPECT_EQ(st.open_now, 1u);
    EXPECT_EQ(st.opens, st.closes + 1);
    nvx_close(fd);
    EXPECT_EQ(host.stop(), 0) << host.output();
}
