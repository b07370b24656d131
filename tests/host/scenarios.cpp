#include "scenarios.h"

#include "nvx_user.h"

#include <sys/stream.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

namespace hosttest
{

using Clock = std::chrono::steady_clock;

std::string streamhost_path()
{
    return STREAMHOST_PATH;
}

std::string thost_path()
{
    return THOST_PATH;
}

int th_ioctl(int fd, int cmd, void *data, int len, int *out_len)
{
    struct strioctl s {
        cmd, INFTIM, len, static_cast<char *>(data)
    };
    int rc = nvx_ioctl(fd, I_STR, &s);
    if (out_len)
        *out_len = s.ic_len;
    return rc;
}

th_info info_of(int fd)
{
    th_info in{};
    int len = 0;
    EXPECT_EQ(th_ioctl(fd, TH_INFO, &in, sizeof in, &len), 0) << std::strerror(errno);
    EXPECT_EQ(len, static_cast<int>(sizeof in));
    return in;
}

th_stats stats_of(int fd)
{
    th_stats st{};
    EXPECT_EQ(th_ioctl(fd, TH_STATS, &st, sizeof st), 0) << std::strerror(errno);
    return st;
}

int open_thost()
{
    int fd = nvx_open("/dev/thost", O_RDWR);
    EXPECT_GE(fd, 0) << "open /dev/thost: " << std::strerror(errno);
    return fd;
}

void check_clone_opens()
{
    std::set<unsigned> minors;
    int fds[4];
    for (int &fd : fds) {
        fd = open_thost();
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(nvx_is_stream(fd));
        th_info in = info_of(fd);
        EXPECT_EQ(in.pid, ::getpid()) << "ddi_get_pid shows the caller (SO_PEERCRED)";
        EXPECT_EQ(in.uid, static_cast<int32_t>(::geteuid()));
        EXPECT_EQ(in.ioc_flag, static_cast<uint32_t>(IOC_NATIVE)) << "the caller's data model";
        minors.insert(in.minor);
    }
    EXPECT_EQ(minors.size(), 4u) << "every clone open is a new minor";
    for (int fd : fds)
        EXPECT_EQ(nvx_close(fd), 0);
}

void check_ioctl_ack_and_nak()
{
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    char data[16] = "stream";
    int len = 0;
    EXPECT_EQ(th_ioctl(fd, TH_ECHO, data, 6, &len), 6) << "rval of the ACK";
    EXPECT_EQ(len, 6);
    EXPECT_EQ(std::string(data, 6), "maerts") << "reply data copied back";

    struct Case {
        const char *name;
        int cmd;
        int32_t arg;
        int expected_errno;
    } cases[] = {
        {"NAK with EPERM", TH_NAK, EPERM, EPERM},
        {"NAK with ENXIO", TH_NAK, ENXIO, ENXIO},
        {"NAK with error 0 reads as EINVAL", TH_NAK, 0, EINVAL},
        {"unknown command", 0x6899, 0, EINVAL},
    };
    for (const Case &c : cases) {
        int32_t arg = c.arg;
        errno = 0;
        EXPECT_EQ(th_ioctl(fd, c.cmd, &arg, sizeof arg), -1) << c.name;
        EXPECT_EQ(errno, c.expected_errno) << c.name;
    }
    // The reply is cut to the caller's ic_len: the rest of the buffer is left alone.
    unsigned char buf[sizeof(th_info) + 4];
    std::memset(buf, 0xEE, sizeof buf);
    EXPECT_EQ(th_ioctl(fd, TH_INFO, buf, 8, &len), 0);
    EXPECT_EQ(len, 8);
    int32_t pid;
    std::memcpy(&pid, buf, sizeof pid);
    EXPECT_EQ(pid, ::getpid());
    EXPECT_EQ(buf[8], 0xEE);
    EXPECT_EQ(buf[sizeof buf - 1], 0xEE);
    EXPECT_EQ(nvx_close(fd), 0);
}

void check_putmsg_blocks()
{
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    th_stats before = stats_of(fd);
    th_wait w{TH_BUSY, 300};
    struct strbuf ctl {
        0, sizeof w, reinterpret_cast<char *>(&w)
    };
    auto t0 = Clock::now();
    ASSERT_EQ(putmsg(fd, &ctl, nullptr, RS_HIPRI), 0) << std::strerror(errno);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(ms, 300) << "putmsg returned before the put procedure did";
    EXPECT_EQ(stats_of(fd).put_done, before.put_done + 1) << "the put procedure had finished";
    // RS_HIPRI without a control part is refused by the stream head.
    EXPECT_EQ(putmsg(fd, nullptr, nullptr, RS_HIPRI), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(nvx_close(fd), 0);
}

namespace
{
volatile sig_atomic_t alarms = 0;
void on_alarm(int)
{
    alarms = alarms + 1;
}

// SIGALRM after ms, with a handler that does not restart calls (as a sensor would have).
void arm_alarm(int ms)
{
    struct sigaction sa {
    };
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGALRM, &sa, nullptr);
    itimerval it{};
    it.it_value.tv_sec = ms / 1000;
    it.it_value.tv_usec = (ms % 1000) * 1000;
    setitimer(ITIMER_REAL, &it, nullptr);
}
} // namespace

void check_signal_ends_wait()
{
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    th_stats before = stats_of(fd);
    th_wait w{TH_SLEEP, 20000};
    struct strbuf ctl {
        0, sizeof w, reinterpret_cast<char *>(&w)
    };
    alarms = 0;
    arm_alarm(200);
    auto t0 = Clock::now();
    int rc = putmsg(fd, &ctl, nullptr, RS_HIPRI);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_EQ(rc, 0) << "the put procedure returned, so putmsg succeeds";
    EXPECT_EQ(alarms, 1) << "the caller's handler ran";
    EXPECT_LT(ms, 10000) << "the driver's wait was not ended by the signal";
    th_stats after = stats_of(fd);
    EXPECT_EQ(after.signalled, before.signalled + 1) << "cv_timedwait_sig returned 0";

    // An ioctl sleeping in the driver: the driver's NAK EINTR is what ioctl returns.
    arm_alarm(200);
    EXPECT_EQ(th_ioctl(fd, TH_SLEEPIOC, nullptr, 0), -1);
    EXPECT_EQ(errno, EINTR);

    // The signal is not left behind for the next request: a short wait runs out.
    th_wait brief{TH_SLEEP, 300};
    struct strbuf ctl2 {
        0, sizeof brief, reinterpret_cast<char *>(&brief)
    };
    EXPECT_EQ(putmsg(fd, &ctl2, nullptr, RS_HIPRI), 0);
    th_stats last = stats_of(fd);
    EXPECT_EQ(last.signalled, after.signalled + 1) << "only the ioctl's wait was signalled";
    EXPECT_EQ(last.timed_out, after.timed_out + 1);
    EXPECT_EQ(nvx_close(fd), 0);
}

void check_mapping(bool check_model_native)
{
    int a = open_thost(), b = open_thost();
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    th_info ia = info_of(a), ib = info_of(b);
    if (check_model_native) {
        EXPECT_EQ(ia.ioc_flag, static_cast<uint32_t>(IOC_NATIVE));
    }
    auto fds_before = count_fds(::getpid());
    auto *pa = static_cast<unsigned char *>(
        nvx_mmap(nullptr, TH_REGION_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, a, 0));
    ASSERT_NE(pa, MAP_FAILED) << std::strerror(errno);
    auto *pb = static_cast<unsigned char *>(
        nvx_mmap(nullptr, TH_REGION_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, b, 0));
    ASSERT_NE(pb, MAP_FAILED) << std::strerror(errno);
    EXPECT_EQ(count_fds(::getpid()), fds_before) << "the passed memfd is not kept open";
    EXPECT_NE(reinterpret_cast<uint64_t>(pa), ia.region) << "mapped at another address";
    // The whole region, its last partial page included, shows the host's bytes; each stream
    // sees its own region.
    size_t bad_a = 0, bad_b = 0;
    for (unsigned i = 0; i < TH_REGION_SIZE; ++i) {
        bad_a += pa[i] != TH_PATTERN(i, ia.minor);
        bad_b += pb[i] != TH_PATTERN(i, ib.minor);
    }
    EXPECT_EQ(bad_a, 0u);
    EXPECT_EQ(bad_b, 0u);
    // What the caller writes, the host reads.
    std::memcpy(pa + TH_REGION_SIZE - 16, "written-by-user", 16);
    int32_t off = TH_REGION_SIZE - 16;
    char peek[16];
    std::memcpy(peek, &off, sizeof off);
    ASSERT_EQ(th_ioctl(a, TH_PEEK, peek, sizeof peek), 0);
    EXPECT_EQ(std::string(peek, 15), "written-by-user");
    EXPECT_EQ(nvx_munmap(pa, TH_REGION_SIZE), 0);
    EXPECT_EQ(nvx_munmap(pb, TH_REGION_SIZE), 0);

    // The driver's devmap decides: a bad offset or a length past the region is refused, and
    // no descriptor arrives.
    struct Case {
        const char *name;
        off_t off;
        size_t len;
    } refused[] = {{"offset not 0", 8192, 8192}, {"past the region", 0, 5 * 8192}};
    for (const Case &c : refused) {
        errno = 0;
        EXPECT_EQ(nvx_mmap(nullptr, c.len, PROT_READ, MAP_SHARED, a, c.off), MAP_FAILED) << c.name;
        EXPECT_EQ(errno, ENXIO) << c.name;
    }
    EXPECT_EQ(count_fds(::getpid()), fds_before);
    EXPECT_EQ(nvx_close(a), 0);
    EXPECT_EQ(nvx_close(b), 0);
}

namespace
{
long major_of(HostProcess &, const std::string &driver)
{
    std::ifstream in(nvx_platform_path("/etc/name_to_major"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string name;
        long major;
        if (line.empty() || line[0] == '#' || !(ls >> name >> major))
            continue;
        if (name == driver)
            return major;
    }
    return -1;
}
} // namespace

void check_sad(HostProcess &h)
{
    long major = major_of(h, "thost");
    ASSERT_GT(major, 0) << "thost in " << nvx_platform_path("/etc/name_to_major");
    int sad = nvx_open("/dev/sad/admin", O_RDWR);
    ASSERT_GE(sad, 0) << std::strerror(errno);

    // Version 1 record (96 bytes) with the version 1 codes.
    unsigned char rec[STRAPUSH_V1_SIZE] = {};
    auto put32 = [&](size_t off, uint32_t v) { std::memcpy(rec + off, &v, 4); };
    auto get32 = [&](size_t off) {
        uint32_t v;
        std::memcpy(&v, rec + off, 4);
        return v;
    };
    put32(0, SAP_ALL);
    put32(4, static_cast<uint32_t>(major));
    errno = 0;
    EXPECT_EQ(nvx_ioctl(sad, SAD_GAP_V1, rec), -1);
    EXPECT_EQ(errno, ENODEV) << "no autopush configuration yet";

    std::memset(rec, 0, sizeof rec);
    put32(0, SAP_ALL);
    put32(4, static_cast<uint32_t>(major));
    put32(16, 1);
    std::memcpy(rec + 20, "thostm", 7);
    ASSERT_EQ(nvx_ioctl(sad, SAD_SAP_V1, rec), 0) << std::strerror(errno);

    std::memset(rec, 0, sizeof rec);
    put32(4, static_cast<uint32_t>(major));
    put32(8, 7);
    ASSERT_EQ(nvx_ioctl(sad, SAD_GAP_V1, rec), 0) << std::strerror(errno);
    EXPECT_EQ(get32(0), static_cast<uint32_t>(SAP_ALL));
    EXPECT_EQ(get32(16), 1u);
    EXPECT_STREQ(reinterpret_cast<char *>(rec + 20), "thostm");

    // The next stream gets the module pushed above the driver.
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    struct str_mlist names[4];
    struct str_list sl {
        4, names
    };
    EXPECT_EQ(nvx_ioctl(fd, I_LIST, nullptr), 2);
    ASSERT_EQ(nvx_ioctl(fd, I_LIST, &sl), 0);
    ASSERT_EQ(sl.sl_nmods, 2);
    EXPECT_STREQ(names[0].l_name, "thostm");
    EXPECT_STREQ(names[1].l_name, "thost");
    std::string text;
    EXPECT_EQ(h.ctl({"streams"}, &text), 0);
    EXPECT_NE(text.find("/dev/thost"), std::string::npos) << text;
    EXPECT_NE(text.find("thostm,thost"), std::string::npos) << text;
    EXPECT_EQ(nvx_close(fd), 0);

    // Clearing, in the version 0 layout (92 bytes).
    unsigned char rec0[STRAPUSH_V0_SIZE] = {};
    uint32_t clear = SAP_CLEAR, maj = static_cast<uint32_t>(major);
    std::memcpy(rec0, &clear, 4);
    std::memcpy(rec0 + 4, &maj, 4);
    EXPECT_EQ(nvx_ioctl(sad, SAD_SAP_V0, rec0), 0) << std::strerror(errno);
    EXPECT_EQ(nvx_ioctl(sad, SAD_GAP_V0, rec0), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(nvx_close(sad), 0);
}

} // namespace hosttest
