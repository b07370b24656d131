// Cross-process tests: a streamhost child on a temporary root, this process as its caller
// through the user-level calls.
#include "host_process.h"
#include "scenarios.h"

#include "nvx_user.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace hosttest;

class HostTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.start(streamhost_path(), {"--modload", thost_path()})) << host.error();
    }
    void TearDown() override
    {
        EXPECT_EQ(host.stop(), 0) << "the host stops cleanly: " << host.output();
    }

    // Polls the driver-wide counters (through a stream of our own) until pred holds, 10 s.
    template <typename Pred> bool wait_stats(Pred pred)
    {
        int fd = open_thost();
        bool ok = false;
        for (int i = 0; i < 500 && !ok; ++i) {
            ok = pred(stats_of(fd));
            if (!ok)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        nvx_close(fd);
        return ok;
    }

    HostProcess host;
};

TEST_F(HostTest, CloneOpensGiveDistinctMinorsAndShowTheCaller)
{
    check_clone_opens();
}

TEST_F(HostTest, IoctlAckDataAndNakErrno)
{
    check_ioctl_ack_and_nak();
}

TEST_F(HostTest, PutmsgReturnsWhenThePutProcedureHasReturned)
{
    check_putmsg_blocks();
}

TEST_F(HostTest, SignalEndsTheDriversInterruptibleWait)
{
    check_signal_ends_wait();
}

TEST_F(HostTest, MappedRegionShowsTheHostsBytesAtAnotherAddress)
{
    check_mapping();
}

TEST_F(HostTest, SadGapAndSapThroughTheAdministrativeDriver)
{
    check_sad(host);
}

TEST_F(HostTest, ClosingTheDescriptorClosesTheStream)
{
    int probe = open_thost();
    ASSERT_GE(probe, 0);
    th_stats before = stats_of(probe);
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(stats_of(probe).open_now, before.open_now + 1);
    EXPECT_EQ(nvx_close(fd), 0);
    EXPECT_TRUE(wait_stats([&](const th_stats &s) { return s.closes == before.closes + 1; }));
    EXPECT_EQ(nvx_close(probe), 0);
}

TEST_F(HostTest, KilledCallersSleepingStreamIsClosedInTheHost)
{
    int probe = open_thost();
    ASSERT_GE(probe, 0);
    th_stats before = stats_of(probe);
    nvx_close(probe);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t child = ::fork();
    if (child == 0) {
        int fd = nvx_open("/dev/thost", O_RDWR);
        char ok = fd >= 0 ? 'y' : 'n';
        (void)!::write(ready[1], &ok, 1);
        th_wait w{TH_SLEEP, 60000};
        struct strbuf ctl {
            0, sizeof w, reinterpret_cast<char *>(&w)
        };
        putmsg(fd, &ctl, nullptr, RS_HIPRI); // sleeps in the driver until killed
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, 'y');
    // Give the child time to be inside the driver's wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(child, SIGKILL);
    int status;
    ::waitpid(child, &status, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_TRUE(wait_stats([&](const th_stats &s) {
        return s.closes >= before.closes + 1 && s.signalled >= before.signalled + 1;
    })) << "the wait was interrupted and the driver's close ran";
    EXPECT_TRUE(wait_stats([&](const th_stats &s) { return s.open_now == before.open_now; }))
        << "only the probe's own stream is open";
}

TEST_F(HostTest, ModunloadIsRefusedWhileAStreamIsOpen)
{
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    std::string text;
    EXPECT_EQ(host.ctl({"modunload", "thost"}, &text), EBUSY) << text;
    EXPECT_NE(text.find("Device or resource busy"), std::string::npos) << text;
    EXPECT_EQ(nvx_close(fd), 0);
    // The host closes the stream in the connection's thread after the close: retry briefly.
    int err = EBUSY;
    for (int i = 0; i < 200 && err == EBUSY; ++i) {
        err = host.ctl({"modunload", "thost"}, &text);
        if (err == EBUSY)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(err, 0) << text;
    errno = 0;
    EXPECT_EQ(nvx_open("/dev/thost", O_RDWR), -1) << "no such device any more";
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(host.ctl({"modload", thost_path()}, &text), 0) << text;
    EXPECT_EQ(text, "thost\n");
}

TEST_F(HostTest, OtherPathsAndDescriptorsGoToTheCLibrary)
{
    int fd = nvx_open("/dev/null", O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_FALSE(nvx_is_stream(fd));
    EXPECT_EQ(::write(fd, "x", 1), 1);
    struct strbuf ctl {
        0, 1, const_cast<char *>("x")
    };
    EXPECT_EQ(putmsg(fd, &ctl, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOSTR) << "putmsg on a descriptor that is not a stream";
    EXPECT_EQ(nvx_close(fd), 0);
    EXPECT_EQ(std::string(nvx_platform_path("/etc/name_to_major")),
              host.root() + "/etc/name_to_major");
    EXPECT_STREQ(nvx_platform_path("/tmp/x"), "/tmp/x");
    // A stream closed with close(2) and its number reused is not taken for the stream.
    int s = open_thost();
    ASSERT_GE(s, 0);
    ::close(s);
    int f = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(f, s) << "the number was reused";
    EXPECT_FALSE(nvx_is_stream(f));
    ::close(f);
}

TEST_F(HostTest, AdminCommandsReportTheirWork)
{
    std::string text;
    EXPECT_EQ(host.ctl({"modules"}, &text), 0);
    EXPECT_NE(text.find("thost \"host test driver\""), std::string::npos) << text;
    EXPECT_EQ(host.ctl({"console"}, &text), 0);
    EXPECT_EQ(host.ctl({"nonesuch"}, &text), EINVAL);
    EXPECT_NE(text.find("unknown command"), std::string::npos) << text;
    EXPECT_EQ(host.ctl({"plumb", "nonesuch0"}, &text), ENXIO) << text;
    EXPECT_EQ(host.ctl({"modload", "/nonexistent/x.so"}, &text), ENOENT) << text;
}

TEST(HostStart, HelpDocumentsTheOptionsAndEveryAdminCommand)
{
    std::string out;
    ASSERT_EQ(sh(streamhost_path() + " --help", 10, &out), 0) << out;
    for (const char *word : {"--root",       "--config",   "--nic",        "--module-path",
                             "--modload",    "--plumb",    "--bridge",     "NVX_ROOT",
                             "backend=KIND", "tap=",       "modload FILE", "modunload NAME",
                             "plumb IF",     "unplumb IF", "bridge IF IF", "interfaces",
                             "streams",      "console",    "stats",        "stop"})
        EXPECT_NE(out.find(word), std::string::npos) << word;
    EXPECT_EQ(sh(streamhost_path() + " --nic 0bad", 10, &out), 2) << out;
    EXPECT_NE(out.find("not <driver><ppa>"), std::string::npos) << out;
}

TEST(HostStart, ConfigurationFileNamesNicsModulesAndPlumbing)
{
    char dir[] = "/tmp/nvx-hostconf-XXXXXX";
    ASSERT_TRUE(::mkdtemp(dir));
    std::string conf = std::string(dir) + "/host.conf";
    {
        std::ofstream f(conf);
        f << "# two NICs of one style-1 driver and one of a style-2 driver\n"
          << "nic qe0 style=1 mac=02:00:00:00:aa:01 mtu=9000\n"
          << "nic qe1 style=1\n"
          << "nic hme0 backend=sink promisc   # comment after an item\n"
          << "modload " << thost_path() << "\n"
          << "plumb qe1\n";
    }
    HostProcess host;
    ASSERT_TRUE(host.start(streamhost_path(), {"--config", conf})) << host.error();
    std::string text;
    ASSERT_EQ(host.ctl({"interfaces"}, &text), 0);
    EXPECT_NE(text.find("qe0: driver qe style 1 mac 02:00:00:00:aa:01 mtu 9000"), std::string::npos)
        << text;
    EXPECT_NE(text.find("hme0: driver hme style 2"), std::string::npos) << text;
    EXPECT_NE(text.find("stream ip,qe"), std::string::npos) << "qe1 plumbed: " << text;
    EXPECT_NE(text.find("stream arp,qe"), std::string::npos) << text;
    // Every module answers for itself, the NIC drivers (built in) as the loaded object.
    ASSERT_EQ(host.ctl({"modules"}, &text), 0) << host.output();
    for (const char *line : {"qe \"emulated Ethernet NIC\"\n", "hme \"emulated Ethernet NIC\"\n",
                             "thost \"host test driver\""})
        EXPECT_NE(text.find(line), std::string::npos) << text;
    std::ifstream ntm(host.root() + "/etc/name_to_major");
    std::stringstream ss;
    ss << ntm.rdbuf();
    for (const char *drv : {"qe ", "hme ", "thost ", "sad "})
        EXPECT_NE(ss.str().find(drv), std::string::npos) << ss.str();
    struct stat st;
    ASSERT_EQ(::stat(host.root().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "root directory owner-only";
    ASSERT_EQ(::stat((host.root() + "/streamhost.sock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "socket owner-only";
    EXPECT_EQ(host.ctl({"unplumb", "qe1"}, &text), 0) << text;
    EXPECT_EQ(host.stop(), 0) << host.output();
    sh(std::string("rm -rf ") + dir);
}
