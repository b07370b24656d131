#include "backends/generator.h"
#include "backends/pcap_replay.h"
#include "backends/sink.h"
#include "backends/wire.h"
#include "frame/builders.h"
#include "pcap/pcap_file.h"
#include "test_frames.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace platform::net;

namespace
{
const MacAddr kMe{2, 0, 0, 0, 0, 1};
const MacAddr kPeer{2, 0, 0, 0, 0, 9};

bool wait_for(const std::function<bool()> &cond, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
} // namespace

TEST(SinkBackend, CountsAndKeepsWhatIsSentDown)
{
    auto b = make_sink_backend(true);
    nettest::FakePort port(kMe);
    ASSERT_EQ(b->start(&port), 0);
    std::vector<uint8_t> f(60, 0x11);
    b->transmit(f.data(), f.size());
    f[0] = 0x22;
    b->transmit(f.data(), f.size());
    FrameCollector *c = sink_collector(*b);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->frames(), 2u);
    EXPECT_EQ(c->bytes(), 120u);
    ASSERT_EQ(c->kept().size(), 2u);
    EXPECT_EQ(c->kept()[1][0], 0x22);
    EXPECT_EQ(port.rx_count(), 0u);
    auto gen = make_generator_backend(GeneratorConfig{});
    EXPECT_EQ(sink_collector(*gen), nullptr);
}

TEST(GeneratorBackend, StopsAtTheFrameBoundAndSplitsDirections)
{
    GeneratorConfig cfg;
    cfg.station_mac = kMe;
    cfg.pacing.max_frames = 500;
    FrameCollector tx;
    auto b = make_generator_backend(cfg, &tx);
    nettest::FakePort port(kMe);
    ASSERT_EQ(b->start(&port), 0);
    SourceRunner *r = generator_runner(*b);
    ASSERT_TRUE(r->wait_finished(10000));
    EXPECT_EQ(r->counters().received + r->counters().sent, 500u);
    EXPECT_EQ(port.rx.size(), r->counters().received.load());
    EXPECT_EQ(port.tx.size(), r->counters().sent.load());
    for (const auto &f : port.tx)
        EXPECT_TRUE(mac_equal(f.data() + 6, kMe));
    for (const auto &f : port.rx)
        EXPECT_FALSE(mac_equal(f.data() + 6, kMe));
    std::vector<uint8_t> down(60, 1);
    b->transmit(down.data(), down.size());
    EXPECT_EQ(tx.frames(), 1u);
    EXPECT_EQ(r->counters().tx_frames, 1u);
}

TEST(GeneratorBackend, TimeBoundAndRateStopAnUnboundedCount)
{
    GeneratorConfig cfg;
    cfg.pacing.frames_per_second = 1000;
    cfg.pacing.max_milliseconds = 100;
    auto b = make_generator_backend(cfg);
    nettest::FakePort port(cfg.station_mac, false);
    ASSERT_EQ(b->start(&port), 0);
    SourceRunner *r = generator_runner(*b);
    ASSERT_TRUE(r->wait_finished(10000));
    uint64_t n = r->counters().received + r->counters().unsent;
    EXPECT_GT(n, 0u);
    EXPECT_LE(n, 101u);                // 1000/s for 100 ms, never more
    EXPECT_EQ(r->counters().sent, 0u); // no stack plumbed: outbound frames are counted unsent
}

TEST(PcapReplayBackend, OwnSourceFramesGoThroughTheStackOthersAreReceived)
{
    std::string path = "/tmp/nvx-net-replay-" + std::to_string(getpid()) + ".pcap";
    PcapWriter w;
    ASSERT_TRUE(w.open(path));
    std::vector<uint8_t> f;
    Ipv4Addrs ip{ipv4(198, 18, 0, 1), ipv4(198, 18, 1, 1), 1, 64};
    for (int i = 0; i < 10; i++) {
        bool mine = i % 3 == 0;
        LinkAddrs l2 = mine ? LinkAddrs{kPeer, kMe} : LinkAddrs{kMe, kPeer};
        build_udp_frame(f, l2, ip, static_cast<uint16_t>(1000 + i), 53, {});
        ASSERT_TRUE(w.write(0, 0, f.data(), f.size()));
    }
    uint8_t runt[10] = {};
    ASSERT_TRUE(w.write(0, 0, runt, sizeof runt)); // too short for a link header: skipped
    ASSERT_TRUE(w.close());

    PcapReplayConfig cfg;
    cfg.path = path;
    cfg.loops = 2;
    std::string err;
    auto b = make_pcap_replay_backend(cfg, nullptr, &err);
    ASSERT_TRUE(b) << err;
    nettest::FakePort port(kMe);
    ASSERT_EQ(b->start(&port), 0);
    ASSERT_TRUE(pcap_replay_runner(*b)->wait_finished(10000));
    ASSERT_EQ(port.tx.size(), 8u); // 4 of 10, twice
    ASSERT_EQ(port.rx.size(), 12u);
    EXPECT_EQ(get_be16(port.tx[1].data() + 34), 1003); // in file order
    EXPECT_EQ(get_be16(port.rx[0].data() + 34), 1001);
    EXPECT_EQ(pcap_replay_error(*b), "");
    std::remove(path.c_str());

    EXPECT_FALSE(make_pcap_replay_backend({"/nonexistent.pcap", {}, 1}, nullptr, &err));
    EXPECT_FALSE(err.empty());
}

TEST(WireBackend, CarriesFramesBothWaysInOrderAndCountsDrops)
{
    auto [a, b] = make_wire(4);
    nettest::FakePort pa(kMe), pb(kPeer);
    std::vector<uint8_t> f(60, 0);
    b->transmit(f.data(), f.size()); // towards a, not started yet
    EXPECT_EQ(wire_counters(*a).dropped_stopped, 1u);
    ASSERT_EQ(a->start(&pa), 0);
    ASSERT_EQ(b->start(&pb), 0);
    for (uint8_t i = 0; i < 3; i++) {
        f[0] = i;
        a->transmit(f.data(), f.size());
        f[0] = static_cast<uint8_t>(100 + i);
        b->transmit(f.data(), f.size());
    }
    ASSERT_TRUE(wait_for([&] { return pa.rx_count() == 3 && pb.rx_count() == 3; }));
    for (uint8_t i = 0; i < 3; i++) {
        EXPECT_EQ(pb.rx[i][0], i);
        EXPECT_EQ(pa.rx[i][0], 100 + i);
    }
    EXPECT_EQ(wire_counters(*b).carried, 3u);
    b->stop();
    a->transmit(f.data(), f.size()); // towards the stopped end
    EXPECT_EQ(wire_counters(*b).dropped_stopped, 1u);
    b.reset(); // either end may go first
    a->transmit(f.data(), f.size());
    a.reset();
}
