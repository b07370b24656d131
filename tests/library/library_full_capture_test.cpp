// A whole capture through the library against the real host: a replayed capture file on hme0
// (inbound and outbound TCP and UDP), read inline with PacketRead, frames of one TCP port
// blocked. hme0 is bridged to hme1, so every frame the ip module on hme0 receives is sent out
// of hme1, where a second, passive capture watches it: that shows what reached ip, in order.
// And a sensor killed in the middle of a capture loses nothing.
#include "lib_frames.h"
#include "lib_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace libtest;

namespace
{

constexpr std::uint16_t kBlockedPort = 2323;
constexpr unsigned kRate = 200;
constexpr unsigned kFrames = 600; // 3 s of replay
constexpr long long kReset = -1;  // an entry of a watched sequence that is a TCP reset
constexpr long long kOther = -2;

ADAPTER_INFO named(const char *name)
{
    ADAPTER_INFO a = {};
    std::strncpy(a.szDeviceName, name, sizeof a.szDeviceName - 1);
    return a;
}

// One cycle of the replay: tags 1..10.
std::vector<Frame> cycle()
{
    std::vector<Frame> f;
    f.push_back(tcp_frame(kPeer, kStation, 40001, 80, 1, 60));
    f.push_back(udp_frame(kPeer, kStation, 5000, 53, 2, 30));
    f.push_back(tcp_frame(kStation, kPeer, 40000, 80, 3, 100));
    f.push_back(tcp_frame(kPeer, kStation, 40002, kBlockedPort, 4, 20));
    f.push_back(tcp_frame(kPeer, kStation, 40001, 80, 5, 700));
    f.push_back(tcp_frame(kStation, kPeer, kBlockedPort, 40003, 6, 10));
    f.push_back(udp_frame(kPeer, kStation, 5000, 53, 7, 4));
    f.push_back(tcp_frame(kStation, kPeer, 40000, 80, 8, 1400));
    f.push_back(tcp_frame(kPeer, kStation, 40001, 80, 9, 5));
    f.push_back(tcp_frame(kPeer, kStation, 40002, kBlockedPort, 10, 33));
    return f;
}

bool outbound(const Frame &f)
{
    return std::memcmp(f.data() + 6, kStation.mac, 6) == 0;
}

bool blocked(const Frame &f)
{
    if (tcp_flags(f.data(), f.size()) < 0)
        return false;
    unsigned sport = getUnsigned16(f.data(), 34);
    return sport == kBlockedPort || tcp_dport(f.data(), f.size()) == kBlockedPort;
}

// What a watched frame is: its tag, kReset or kOther. The bridge may send the IP packet with
// or without a link header in front.
long long classify(const unsigned char *d, std::size_t len)
{
    Frame eth;
    if (len >= 20 && d[0] == 0x45) {
        eth.assign(14, 0);
        eth[12] = 0x08;
        eth.insert(eth.end(), d, d + len);
        d = eth.data();
        len = eth.size();
    }
    int flags = tcp_flags(d, len);
    if (flags >= 0 && (flags & 0x04))
        return kReset;
    std::uint32_t tag = tag_of(d, len);
    return tag >= 1 && tag <= 10 ? tag : kOther;
}

class FullCapture : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        frames = cycle();
        file = "/tmp/nvx-libtest-full-" + std::to_string(::getpid()) + ".pcap";
        ASSERT_TRUE(write_pcap(file, frames));
        std::string replay = replay_nic("hme0", file, kRate) + ",frames=" + std::to_string(kFrames);
        ASSERT_TRUE(
            host.start({replay, "hme1,backend=wire,peer=le0", "le0,backend=wire,peer=hme1,promisc"},
                       {"hme0", "hme1"}))
            << host.error();
        std::string text;
        ASSERT_EQ(host.ctl({"bridge", "hme0", "hme1"}, &text), 0) << text;
        PKTINITPARMS p = {};
        p.ulMajorRevision = 2;
        ASSERT_EQ(PacketInit(&p), PACKET_SUCCESS);
    }
    void TearDown() override
    {
        PacketTerminate();
        ::unlink(file.c_str());
    }

    LibHost host;
    std::string file;
    std::vector<Frame> frames;
};

} // namespace

TEST_F(FullCapture, FramesReadByteForByteReleasedInOrderAndBlockedOnesReset)
{
    ADAPTER_INFO a0 = named("hme0"), a1 = named("hme1");
    ASSERT_EQ(PacketOpen(&a1, 0x20), PACKET_SUCCESS);
    ASSERT_EQ(PacketCreateRx(&a1, 1 << 22, CM_PROMISCUOUS), PACKET_SUCCESS);
    ASSERT_EQ(PacketOpen(&a0, 0x10), PACKET_SUCCESS);
    ASSERT_EQ(PacketCreateRx(&a0, 1 << 22, 0x10), PACKET_SUCCESS);

    // The watcher: what hme1 sends, that is what ip on hme0 received.
    std::atomic<bool> stop{false};
    std::vector<long long> watched;
    std::thread watcher([&] {
        int quiet = 0;
        auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while ((!stop.load() || quiet < 2) && std::chrono::steady_clock::now() < bound) {
            PACKET_BUFFER *pb = nullptr;
            int rc = PacketRead(&a1, 100, &pb);
            if (rc == PACKET_SUCCESS) {
                quiet = 0;
                watched.push_back(classify(PacketGetDataPtr(pb), pb->ulCapturedBytes));
                PacketFree(&a1, pb, 0);
            } else {
                ++quiet;
            }
        }
    });

    // The sensor.
    struct Seen {
        std::uint32_t tag;
        bool out, block;
    };
    std::vector<Seen> seen;
    int mismatches = 0;
    int quiet = 0;
    auto start = std::chrono::steady_clock::now();
    auto replay_end = start + std::chrono::milliseconds(kFrames * 1000 / kRate + 500);
    while ((std::chrono::steady_clock::now() < replay_end || quiet < 2) &&
           std::chrono::steady_clock::now() < start + std::chrono::seconds(20)) {
        PACKET_BUFFER *pb = nullptr;
        int rc = PacketRead(&a0, 100, &pb);
        if (rc != PACKET_SUCCESS) {
            ASSERT_EQ(rc, PACKETERR_GET_RESULT_TIMEOUT);
            ++quiet;
            continue;
        }
        quiet = 0;
        const U8 *data = PacketGetDataPtr(pb);
        std::uint32_t tag = tag_of(data, pb->ulCapturedBytes);
        ASSERT_TRUE(tag >= 1 && tag <= 10) << "unknown frame of " << pb->ulCapturedBytes;
        const Frame &f = frames[tag - 1];
        if (pb->ulCapturedBytes != f.size() || std::memcmp(data, f.data(), f.size()) != 0)
            ++mismatches;
        EXPECT_EQ(pb->ulStatus, outbound(f) ? 0x04000001u : 0x20000000u) << tag;
        seen.push_back({tag, outbound(f), blocked(f)});
        ASSERT_EQ(PacketFree(&a0, pb, blocked(f) ? 0x2 : 0x0), PACKET_SUCCESS);
    }
    // The last reads were timeouts: every verdict has been acted on.
    stop = true;
    watcher.join();

    EXPECT_EQ(mismatches, 0);
    ASSERT_GT(seen.size(), kFrames / 2) << "most of the replay falls in the capture";
    for (size_t i = 1; i < seen.size(); i++)
        ASSERT_EQ(seen[i].tag, seen[i - 1].tag % 10 + 1) << "frame " << i << " lost or moved";

    // What ip received during the capture: every inbound frame that was not blocked, and a
    // reset for every blocked frame (both directions), in capture order; before it only
    // frames that passed before the capture began.
    std::vector<long long> expected;
    for (const Seen &s : seen)
        if (s.block)
            expected.push_back(kReset);
        else if (!s.out)
            expected.push_back(s.tag);
    ASSERT_GE(watched.size(), expected.size());
    std::vector<long long> tail(watched.end() - static_cast<long>(expected.size()), watched.end());
    EXPECT_EQ(tail, expected);
    for (size_t i = 0; i + expected.size() < watched.size(); i++)
        EXPECT_NE(watched[i], kReset) << "no reset before the capture";

    // Resets down: the NIC sent every released outbound frame and one reset per blocked one.
    long long blocked_total = 0, blocked_out = 0;
    for (const Seen &s : seen) {
        blocked_total += s.block;
        blocked_out += s.block && s.out;
    }
    EXPECT_GT(blocked_out, 0);
    long long ip_sent = host.counter("hme0", "ip:tx_frames");
    long long nic_sent = host.counter("hme0", "tx_frames");
    EXPECT_EQ(nic_sent, ip_sent - blocked_out + blocked_total) << host.console() << "\n"
                                                               << [&] {
                                                                      std::string t;
                                                                      host.ctl({"interfaces"}, &t);
                                                                      return t;
                                                                  }();
    // The adapter records are this body's locals: close them while they still exist.
    EXPECT_EQ(PacketTerminate(), PACKET_SUCCESS);
}

TEST_F(FullCapture, KilledSensorLosesNothingAndTheAdapterOpensAgainAtOnce)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The sensor: inline capture, reads and holds frames, never finishes.
        ::close(ready[0]);
        PKTINITPARMS p = {};
        p.ulMajorRevision = 2;
        ADAPTER_INFO a = named("hme0");
        if (PacketInit(&p) != 0 || PacketOpen(&a, 0x10) != 0 || PacketCreateRx(&a, 1 << 22, 0))
            ::_exit(10);
        int got = 0;
        for (int i = 0; i < 2000; i++) {
            PACKET_BUFFER *pb = nullptr;
            if (PacketRead(&a, 100, &pb) == 0 && ++got == 50) {
                char c = 1;
                if (::write(ready[1], &c, 1) != 1)
                    ::_exit(11);
            }
        }
        ::_exit(12);
    }
    ::close(ready[1]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1) << "the sensor read frames";
    ::close(ready[0]);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));

    // The adapter opens again at once (the host closed the dead sensor's stream).
    ADAPTER_INFO a = named("hme0");
    int rc = PacketOpen(&a, 0x10);
    for (int i = 0; i < 100 && rc != PACKET_SUCCESS; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        rc = PacketOpen(&a, 0x10);
    }
    ASSERT_EQ(rc, PACKET_SUCCESS);
    ASSERT_EQ(PacketClose(&a), PACKET_SUCCESS);

    // Once the replay is over (the counters stand still), every frame the NIC took reached ip
    // or the wire.
    std::this_thread::sleep_for(std::chrono::milliseconds(kFrames * 1000 / kRate));
    long long rx = -1, ip_rx = -1, ip_tx = -1, tx = -1;
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        long long now[4] = {host.counter("hme0", "rx_frames"), host.counter("hme0", "ip:rx_frames"),
                            host.counter("hme0", "ip:tx_frames"),
                            host.counter("hme0", "tx_frames")};
        bool still = now[0] == rx && now[1] == ip_rx && now[2] == ip_tx && now[3] == tx;
        rx = now[0], ip_rx = now[1], ip_tx = now[2], tx = now[3];
        if (still || std::chrono::steady_clock::now() > bound)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    EXPECT_GT(rx, 0);
    if (ip_rx != rx)
        PacketSetParameter("debug.stats", nullptr);
    EXPECT_EQ(ip_rx, rx) << host.console() << [&] {
        std::string t;
        host.ctl({"interfaces"}, &t);
        return t;
    }();
    EXPECT_GT(ip_tx, 0);
    EXPECT_EQ(tx, ip_tx);
    // And no message is left over in the host.
    auto stats = host.h.stats();
    EXPECT_EQ(stats["umem_live"], 0);
}
