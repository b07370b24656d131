// Capture reading and release against the real host: create sizes and flags, reads with and
// without waiting, the read threshold, timeout and signal outcomes, the session timeout and
// its resumption, block verdicts, and the frame records handed out.
#include "lib_frames.h"
#include "lib_host.h"
#include "lib_trace.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using libtest::LibHost;
using libtest::open_record;
using libtest::TraceFile;

namespace
{

ADAPTER_INFO named(const char *name)
{
    ADAPTER_INFO a = {};
    std::strncpy(a.szDeviceName, name, sizeof a.szDeviceName - 1);
    return a;
}

void init_library()
{
    PKTINITPARMS p = {};
    p.ulMajorRevision = 2;
    ASSERT_EQ(PacketInit(&p), PACKET_SUCCESS);
}

RcvBuffer *region_of(const ADAPTER_INFO &a)
{
    PPAData *ppa = open_record(&a);
    return ppa ? ppa->pRcvBuf : nullptr;
}

// No traffic at all: every read request ends in the driver's one-second wait.
class QuietCapture : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.start({"hme0,backend=sink"}, {"hme0"})) << host.error();
        init_library();
        ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    }
    void TearDown() override { PacketTerminate(); }

    LibHost host;
    ADAPTER_INFO a = named("hme0");
};

// A replay that never ends: inbound TCP and UDP, outbound TCP, 100 frames a second.
class TrafficCapture : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        using namespace libtest;
        for (std::uint32_t i = 1; i <= 12; i++) {
            if (i % 3 == 0)
                frames.push_back(tcp_frame(kStation, kPeer, 40000, 80, i));
            else if (i % 3 == 1)
                frames.push_back(tcp_frame(kPeer, kStation, 40001, 80, i));
            else
                frames.push_back(udp_frame(kPeer, kStation, 5000, 53, i));
        }
        file = "/tmp/nvx-libtest-capture-" + std::to_string(::getpid()) + ".pcap";
        ASSERT_TRUE(write_pcap(file, frames));
        ASSERT_TRUE(host.start({replay_nic("hme0", file, 100)}, {"hme0"})) << host.error();
        init_library();
    }
    void TearDown() override
    {
        PacketTerminate();
        ::unlink(file.c_str());
    }
    void open_capture(U32 mode, U32 flags)
    {
        ASSERT_EQ(PacketOpen(&a, mode), PACKET_SUCCESS);
        ASSERT_EQ(PacketCreateRx(&a, 1 << 20, flags), PACKET_SUCCESS);
    }
    // Reads one frame, retrying the driver's empty waits (bounded).
    PACKET_BUFFER *read_one()
    {
        for (int i = 0; i < 10; i++) {
            PACKET_BUFFER *pb = nullptr;
            int rc = PacketRead(&a, 100, &pb);
            if (rc == PACKET_SUCCESS)
                return pb;
            EXPECT_EQ(rc, PACKETERR_GET_RESULT_TIMEOUT);
        }
        return nullptr;
    }
    const libtest::Frame *known(const PACKET_BUFFER *pb)
    {
        const U8 *data = PacketGetDataPtr(const_cast<PACKET_BUFFER *>(pb));
        std::uint32_t tag = libtest::tag_of(data, pb->ulCapturedBytes);
        return tag >= 1 && tag <= frames.size() ? &frames[tag - 1] : nullptr;
    }

    LibHost host;
    std::string file;
    std::vector<libtest::Frame> frames;
    ADAPTER_INFO a = named("hme0");
};

} // namespace

TEST_F(QuietCapture, CreateSizesAndFlags)
{
    TraceFile trace;
    struct Case {
        U32 size, flags;
        int expected;
        int mapped;
        unsigned long flags_used;
    } cases[] = {
        {8191, 0x10, PACKET_SUCCESS, 0x400000, 0x10},
        {8192, 0x10, PACKET_SUCCESS, 8192, 0x10},
        {8192, 0x00, PACKET_SUCCESS, 8192, 0x10}, // 0 becomes CM_INLINE
        {8192, 0x17, PACKET_SUCCESS, 8192, 0x17},
        {8192, 31, PACKETERR_NO_BINDING, 0, 0}, // passes the library; 0x08 is the driver's EINVAL
        {8192, 32, PACKETERR_BAD_PARAMETERS, 0, 0},
        {0, 0x10, PACKETERR_BAD_PARAMETERS, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(PacketCreateRx(&a, c.size, c.flags), c.expected) << c.size << " " << c.flags;
        PPAData *ppa = open_record(&a);
        ASSERT_NE(ppa, nullptr);
        if (c.expected != PACKET_SUCCESS) {
            EXPECT_EQ(ppa->pRcvBuf, nullptr);
            continue;
        }
        EXPECT_EQ(ppa->RcvBufSize, c.mapped);
        EXPECT_EQ(ppa->ulFlags, c.flags_used);
        EXPECT_EQ(ppa->maxpktbufsize, 0);
        EXPECT_EQ(ppa->captureSize, 0);
        ASSERT_NE(ppa->pRcvBuf, nullptr);
        // The whole mapping is usable: the queue behind the header spans it.
        EXPECT_EQ(CircularQueueBufferSize(reinterpret_cast<char *>(ppa->pRcvBuf) + 384),
                  static_cast<U32>(c.mapped - 384));
        EXPECT_EQ(PacketCloseRx(&a), PACKET_SUCCESS);
    }
    EXPECT_EQ(trace.count("PacketCreateRx: invalid buffer size, using default 0x400000\n"), 1);
    EXPECT_EQ(trace.count("PacketCreateRx: buffer size is 8191\n"), 1);
    EXPECT_EQ(trace.count("NVX_CREATE_RX_IOCTL ioctl failed, "), 1);
}

TEST_F(QuietCapture, SecondCreateIsRefusedWithoutAskingTheDriver)
{
    ASSERT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKET_SUCCESS);
    TraceFile trace;
    EXPECT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKETERR_RX_ALREADY_OPEN);
    std::string t = trace.text();
    EXPECT_NE(t.find("There is already a capture defined for this adapter: \t\t\t"),
              std::string::npos)
        << t;
    EXPECT_EQ(t.find("ioctl failed"), std::string::npos) << t;
    EXPECT_EQ(t.find("buffer size is"), std::string::npos) << t;
}

TEST_F(QuietCapture, CloseRxRefusalsAndReadsWithoutACapture)
{
    TraceFile trace;
    EXPECT_EQ(PacketCloseRx(nullptr), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(PacketCloseRx(&a), PACKETERR_GENERAL);
    EXPECT_EQ(trace.count("PacketCloseRx: No capture active for this adapter: hme0\n"), 1);
    PACKET_BUFFER *pb = nullptr;
    EXPECT_EQ(PacketRead(&a, 0, &pb), PACKETERR_GENERAL);
    EXPECT_EQ(trace.count("PacketRead: No capture active for this adapter: hme0\n"), 1);
    PACKET_BUFFER frame = {};
    EXPECT_EQ(PacketFree(&a, &frame, 0), PACKETERR_GENERAL);
    ASSERT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKET_SUCCESS);
    EXPECT_EQ(PacketCloseRx(&a), PACKET_SUCCESS);
    EXPECT_EQ(region_of(a), nullptr);
    EXPECT_EQ(PacketRead(&a, 0, &pb), PACKETERR_GENERAL);
    // A new capture can follow at once.
    EXPECT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKET_SUCCESS);

    ADAPTER_INFO closed = named("hme0");
    EXPECT_EQ(PacketCloseRx(&closed), PACKETERR_GENERAL);
    EXPECT_EQ(PacketCreateRx(&closed, 8192, 0x10), PACKETERR_GENERAL);
    EXPECT_EQ(PacketRead(nullptr, 0, &pb), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(trace.count("PacketRead: pai is NULL, returning BAD_PARAMETERS\n"), 1);
    EXPECT_EQ(PacketRead(&a, 0, nullptr), PACKETERR_BAD_PARAMETERS);
}

TEST_F(QuietCapture, EmptyWaitIsATimeoutAndASignalIsGeneral)
{
    ASSERT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKET_SUCCESS);
    TraceFile trace;
    PACKET_BUFFER *pb = nullptr;
    EXPECT_EQ(PacketRead(&a, 100, &pb), PACKETERR_GET_RESULT_TIMEOUT);
    EXPECT_EQ(pb, nullptr);
    EXPECT_EQ(trace.count("PacketRead: About to call putmsg to block\n"), 1);
    EXPECT_EQ(trace.count("PacketRead: putmsg returned an error: 62\n"), 1);
    EXPECT_EQ(trace.count("PacketRead: returning PACKETERR_GET_RESULT_TIMEOUT\n"), 1);

    // A signal caught during the driver's wait ends it with EINTR: 1.
    struct sigaction sa = {};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    struct sigaction old;
    ASSERT_EQ(::sigaction(SIGALRM, &sa, &old), 0);
    struct itimerval once = {};
    once.it_value.tv_usec = 300000;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &once, nullptr), 0);
    auto t0 = std::chrono::steady_clock::now();
    int rc = PacketRead(&a, 100, &pb);
    auto took = std::chrono::steady_clock::now() - t0;
    ::sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(rc, PACKETERR_GENERAL);
    EXPECT_EQ(trace.count("PacketRead: putmsg errno = 4\n"), 1) << trace.text();
    EXPECT_LT(took, std::chrono::milliseconds(950));
    // The next read simply goes on.
    EXPECT_EQ(PacketRead(&a, 100, &pb), PACKETERR_GET_RESULT_TIMEOUT);
}

TEST_F(QuietCapture, SessionTimeoutRefusesReadsUntilFreeResumes)
{
    ASSERT_EQ(PacketCloseRx(&a), PACKETERR_GENERAL);
    // A key that begins with "timeout" acts as "timeout": sessions created afterwards time
    // out after one idle second.
    ASSERT_EQ(PacketSetParameter("timeoutSeconds", "1"), PACKET_SUCCESS);
    ASSERT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKET_SUCCESS);
    RcvBuffer *rb = region_of(a);
    ASSERT_NE(rb, nullptr);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(__atomic_load_n(&rb->ulFlags, __ATOMIC_ACQUIRE) & RB_SESSION_TIMEOUT) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(rb->ulFlags & RB_SESSION_TIMEOUT) << host.console();

    TraceFile trace;
    PACKET_BUFFER *pb = nullptr;
    EXPECT_EQ(PacketRead(&a, 0, &pb), PACKETERR_DRIVER_NOT_STARTED);
    EXPECT_EQ(PacketRead(&a, 0, &pb), PACKETERR_DRIVER_NOT_STARTED);
    EXPECT_EQ(trace.count("PacketRead: session timeout on adapter: hme0\n"), 2);
    PACKET_BUFFER frame = {};
    frame.lTimeSecs = 77;
    EXPECT_EQ(PacketFree(&a, &frame, 0x2), PACKET_SUCCESS);
    EXPECT_EQ(frame.lTimeSecs, 77);
    EXPECT_EQ(frame.ulStatus, 0u);
    EXPECT_EQ(rb->ulFlags & RB_SESSION_TIMEOUT, 0u);
    EXPECT_EQ(trace.count("PacketFree: session timeout on adapter: hme0, resuming capture\n"), 1);
    // The next read request resumes the capture in the driver.
    EXPECT_EQ(PacketRead(&a, 0, &pb), PACKETERR_GET_RESULT_TIMEOUT);
}

TEST_F(QuietCapture, MappingFailureEndsTheSessionSoARetrySucceeds)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit cannot be set under a sanitizer's shadow memory";
#endif
#if UINTPTR_MAX == 0xffffffffu
    // A 32-bit process cannot map 3 GiB; only a 64-bit host creates such a region.
    if (!std::getenv("NVX_LIB_HOST_TREE"))
        GTEST_SKIP() << "needs the cross-model run (a 64-bit host)";
    const U32 size = 0xc0000000u;
    const bool limit_space = false;
#else
    const U32 size = 256u << 20; // beyond the address-space limit set below
    const bool limit_space = true;
#endif
    PacketTerminate();
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child's own library state and streams.
        PKTINITPARMS p = {};
        p.ulMajorRevision = 2;
        ADAPTER_INFO b = named("hme0");
        if (PacketInit(&p) != 0 || PacketOpen(&b, 0x10) != 0)
            ::_exit(10);
        struct rlimit lim;
        ::getrlimit(RLIMIT_AS, &lim);
        if (limit_space) {
            struct rlimit tight = lim;
            tight.rlim_cur = 192u << 20;
            if (::setrlimit(RLIMIT_AS, &tight) != 0)
                ::_exit(11);
        }
        int rc = PacketCreateRx(&b, size, 0x10);
        if (limit_space)
            ::setrlimit(RLIMIT_AS, &lim);
        if (rc != PACKETERR_NO_MEMORY)
            ::_exit(12);
        if (open_record(&b)->pRcvBuf != nullptr)
            ::_exit(13);
        // The driver's session was ended: a new one is accepted.
        if (PacketCreateRx(&b, 8192, 0x10) != PACKET_SUCCESS)
            ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setup, 11 limit, 12 result, 13 mapping, 14 retry";
}

TEST_F(TrafficCapture, ReadsWithAndWithoutWaitingAndTheFrameRecords)
{
    open_capture(0x10, 0x10);
    TraceFile trace;
    PACKET_BUFFER *pb = read_one();
    ASSERT_NE(pb, nullptr);
    EXPECT_GE(trace.count("PacketRead: got a packet after waiting\n"), 1);
    RcvBuffer *rb = region_of(a);
    // More frames arrive; the next read request brings them all in. The first request may
    // already have moved in more than one frame (a slow host stages a second one before the
    // reader runs): those are taken from the region without a request, so read on until the
    // request that brings in the frames that arrived meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    for (int i = 0; i < 4 && (i == 0 || rb->packetCount <= 2u); ++i) {
        PacketFree(&a, pb, 0);
        pb = read_one();
        ASSERT_NE(pb, nullptr);
    }
    ASSERT_GT(rb->packetCount, 2u);
    int putmsgs = trace.count("About to call putmsg");
    rb->lLastTime = 0;
    ASSERT_EQ(PacketRead(&a, 0, &pb), PACKET_SUCCESS);
    EXPECT_EQ(trace.count("About to call putmsg"), putmsgs) << "no system call";
    EXPECT_GE(trace.count("PacketRead: got a packet right away\n"), 1);
    U32 now = static_cast<U32>(std::time(nullptr));
    EXPECT_GE(rb->lLastTime + 2, now);
    EXPECT_LE(rb->lLastTime, now);

    // The record: a known frame, byte for byte, behind a 32-byte header.
    EXPECT_EQ(pb->lDataOffset, 32);
    EXPECT_EQ(PacketGetDataPtr(pb), reinterpret_cast<U8 *>(pb) + 32);
    EXPECT_EQ(pb->ulCapturedBytes, pb->ulTrueBytes);
    const libtest::Frame *f = known(pb);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(pb->ulCapturedBytes, f->size());
    EXPECT_EQ(std::memcmp(PacketGetDataPtr(pb), f->data(), f->size()), 0);
    bool outbound = std::memcmp(f->data() + 6, libtest::kStation.mac, 6) == 0;
    EXPECT_EQ(pb->ulStatus, outbound ? 0x04000001u : 0x20000000u);
    EXPECT_EQ(PacketGetDataPtr(nullptr), reinterpret_cast<U8 *>(4201));
}

TEST_F(TrafficCapture, ReadThresholdThreeSendsEveryFourthReadToTheDriver)
{
    open_capture(0x10, 0x10);
    ASSERT_EQ(PacketSetParameter("readThreshold", "3"), PACKET_SUCCESS);
    ASSERT_EQ(GlobalReadThreshold, 3);
    // Let frames gather so that the queue never runs dry during the check.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    TraceFile trace;
    PACKET_BUFFER *pb = nullptr;
    for (int call = 1; call <= 9; call++) {
        std::string before = trace.text();
        ASSERT_EQ(PacketRead(&a, 0, &pb), PACKET_SUCCESS) << call;
        std::string t = trace.text().substr(before.size());
        bool to_driver = t.find("About to call putmsg to block") != std::string::npos;
        bool right_away = t.find("got a packet right away") != std::string::npos;
        if (call == 1 || call == 5 || call == 9) {
            // Call 1 finds the region empty; after each trip to the driver three reads come
            // straight from the region and the fourth (calls 5 and 9) passes the threshold.
            EXPECT_TRUE(to_driver) << call << t;
            EXPECT_EQ(a.ulReadCount, 0u) << call;
        } else {
            EXPECT_TRUE(right_away) << call << t;
            EXPECT_FALSE(to_driver) << call << t;
            EXPECT_EQ(a.ulReadCount, static_cast<U32>((call - 1) % 4)) << call;
        }
    }
    GlobalReadThreshold = 0;
}

TEST_F(TrafficCapture, BlockVerdictsCountOnlyInInlineModeWithInlineFlags)
{
    struct Case {
        U32 mode, flags, action;
        bool blocked, released;
    } cases[] = {
        {0x10, 0x10, 0x2, true, true},   {0x10, 0x10, 0x1, false, true},
        {0x10, 0x10, 0x3, true, true},   {0x20, 0x10, 0x2, false, false},
        {0x10, 0x04, 0x2, false, false}, {0x30, 0x10, 0x2, false, false},
    };
    for (const Case &c : cases) {
        open_capture(c.mode, c.flags);
        PACKET_BUFFER *pb = read_one();
        ASSERT_NE(pb, nullptr);
        U32 status = pb->ulStatus;
        S32 secs = pb->lTimeSecs;
        EXPECT_EQ(PacketFree(&a, pb, c.action), PACKET_SUCCESS);
        EXPECT_EQ(pb->ulStatus, c.blocked ? (status | 0x400u) : status) << c.mode << c.flags;
        EXPECT_EQ(pb->lTimeSecs, c.released ? 0 : secs) << c.mode << c.flags;
        EXPECT_EQ(PacketFree(&a, pb, 0x4), PACKETERR_BAD_PARAMETERS);
        EXPECT_EQ(PacketFree(&a, nullptr, 0x2), PACKETERR_BAD_PARAMETERS);
        EXPECT_EQ(PacketFree(nullptr, pb, 0x2), PACKETERR_BAD_PARAMETERS);
        ASSERT_EQ(PacketClose(&a), PACKET_SUCCESS);
    }
}
