// Frames through the NIC driver and the stack modules: delivery geometry (fast path and
// DL_UNITDATA_IND), frames sent down reaching the backend, capture-file replay directions,
// a wire between two NICs, and a bridge between two plumbed interfaces.
#include "backends/generator.h"
#include "backends/pcap_replay.h"
#include "backends/wire.h"
#include "dltrace_module.h"
#include "faults.h"
#include "frame/builders.h"
#include "nic/nic_impl.h"
#include "nic_fixture.h"
#include "pcap/pcap_file.h"
#include "stack/plumb.h"
#include "test_frames.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace platform::net;

namespace
{
const MacAddr kStation{2, 0, 0, 0, 0, 0x21};
const MacAddr kPeer{2, 0, 0, 0, 0, 0x99};

std::vector<uint8_t> udp_frame(const MacAddr &dst, const MacAddr &src, uint16_t port,
                               size_t payload = 40)
{
    std::vector<uint8_t> f, data(payload, 0x5a);
    build_udp_frame(f, {dst, src}, {ipv4(198, 18, 1, 1), ipv4(198, 18, 0, 1), 1, 64}, port, 7,
                    data);
    return f;
}

std::unique_ptr<PlumbedInterface> plumb(const std::string &ifname, const char *module, bool keep,
                                        std::vector<std::string> first = {})
{
    std::unique_ptr<PlumbedInterface> p;
    EXPECT_EQ(PlumbedInterface::plumb({ifname, module, keep, first, nettest::kRoot}, &p), 0)
        << ifname << " " << module;
    return p;
}
} // namespace

TEST(NicReceive, LinkHeaderLiesDirectlyInFrontOfTheDataWithSmallHeadroom)
{
    dltrace::load();
    auto drv = nettest::load_nic("tstrx", 2, make_sink_backend(), kStation);
    auto ip = plumb("tstrx0", "ip", true, {"dltrace"});
    auto arp = plumb("tstrx0", "arp", true, {"dltrace"});
    ASSERT_TRUE(ip && arp);
    dltrace::reset();
    NicInstance *nic = drv->instance(0)->impl();
    auto f_ip = udp_frame(kStation, kPeer, 1000);
    std::vector<uint8_t> f_arp;
    build_arp_frame(f_arp, {kBroadcastMac, kPeer}, 1, kPeer, ipv4(198, 18, 1, 1), MacAddr{},
                    ipv4(198, 18, 0, 1));
    auto f_other = udp_frame(kPeer, kPeer, 1001); // for another station
    auto f_ipv6 = udp_frame(kStation, kPeer, 1002);
    put_be16(f_ipv6.data() + 12, kEtherTypeIpv6); // nobody bound
    nic->receive(f_ip.data(), f_ip.size());
    nic->receive(f_arp.data(), f_arp.size());
    nic->receive(f_other.data(), f_other.size());
    nic->receive(f_ipv6.data(), f_ipv6.size());
    nic->receive(f_ip.data(), 10); // runt
    auto frames = dltrace::frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_FALSE(frames[0].unitdata); // ip: fast path, bare M_DATA
    EXPECT_TRUE(frames[1].unitdata);  // arp: DL_UNITDATA_IND + M_DATA
    for (const auto &fr : frames) {
        EXPECT_GE(fr.headroom, 0);
        EXPECT_LT(fr.headroom, 8); // an Ethernet II header never looks like 802.3/SNAP
    }
    EXPECT_EQ(frames[0].frame, f_ip);
    EXPECT_EQ(frames[1].frame, f_arp);
    EXPECT_EQ(ip->link().kept(), (std::vector<std::vector<uint8_t>>{f_ip}));
    EXPECT_EQ(arp->link().kept(), (std::vector<std::vector<uint8_t>>{f_arp}));
    const NicCounters &c = drv->instance(0)->counters();
    EXPECT_EQ(c.rx_frames, 2u);
    EXPECT_EQ(c.rx_not_mine, 1u);
    EXPECT_EQ(c.rx_unbound, 1u);
    EXPECT_EQ(c.rx_bad_length, 1u);
}

// A provider sends frames up as soon as it has bound the stream, while ip is still in its
// dialogue (here: the frame overtakes the bind acknowledgement): they are received and
// counted like every later frame.
TEST(NicReceive, FramesArrivingOnceBoundReachTheLinkBeforeThePlumbCompletes)
{
    dltrace::load();
    dltrace::reset();
    auto drv = nettest::load_nic("tstbound", 2, make_sink_backend(), kStation);
    auto f = udp_frame(kStation, kPeer, 1003);
    dltrace::inject_before_bind_ack(f);
    auto ip = plumb("tstbound0", "ip", true, {"dltrace"});
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->link().rx_frames, 1u);
    EXPECT_EQ(ip->link().kept(), (std::vector<std::vector<uint8_t>>{f}));
    dltrace::reset();
}

// Every allocation of a plumb in turn fails: the plumb reports it and leaves nothing behind
// (no message, no stream bound to the link), frames arriving meanwhile are safe, and the
// next plumb works.
TEST(NicPlumb, AFailedPlumbLeavesNothingBehindAndTheNextOneWorks)
{
    auto drv = nettest::load_nic("tstplf", 2, make_sink_backend(), kStation);
    NicInstance *nic = drv->instance(0)->impl();
    auto f = udp_frame(kStation, kPeer, 1004);
    int failures = 0;
    for (int n = 1; n < 100; n++) {
        std::unique_ptr<PlumbedInterface> p;
        int rc;
        {
            platform::faults::Scope scope;
            platform::faults::fail_nth(platform::faults::Kind::allocb, n);
            rc = PlumbedInterface::plumb({"tstplf0", "ip", true, {}, nettest::kRoot}, &p);
        }
        nic->receive(f.data(), f.size());
        if (rc != 0) {
            EXPECT_FALSE(p) << "allocation " << n;
            failures++;
            continue;
        }
        ASSERT_TRUE(p);
        EXPECT_EQ(p->link().rx_frames, 1u) << "allocation " << n;
        EXPECT_EQ(p->link().kept(), (std::vector<std::vector<uint8_t>>{f}));
        break;
    }
    EXPECT_GT(failures, 3) << "the plumb's own requests failed in turn";
}

TEST(NicReceive, AllocationFailureDropsAndCounts)
{
    auto drv = nettest::load_nic("tstnomem", 1, make_sink_backend(), kStation);
    auto ip = plumb("tstnomem0", "ip", false);
    ASSERT_TRUE(ip);
    auto f = udp_frame(kStation, kPeer, 1);
    {
        platform::faults::Scope scope;
        platform::faults::fail_nth(platform::faults::Kind::allocb, 1);
        drv->instance(0)->impl()->receive(f.data(), f.size());
    }
    drv->instance(0)->impl()->receive(f.data(), f.size());
    EXPECT_EQ(drv->instance(0)->counters().rx_nomem, 1u);
    EXPECT_EQ(ip->link().rx_frames, 1u);
}

TEST(NicSend, FramesSentDownReachTheBackendIntact)
{
    auto drv = nettest::load_nic("tsttx", 2, make_sink_backend(true), kStation);
    auto ip = plumb("tsttx0", "ip", false);
    auto arp = plumb("tsttx0", "arp", false);
    ASSERT_TRUE(ip && arp);
    auto f = udp_frame(kPeer, kStation, 2000, 1400);
    EXPECT_TRUE(ip->send(f.data(), f.size())); // fast path: sent as it is
    std::vector<uint8_t> a;
    build_arp_frame(a, {kPeer, MacAddr{2, 2, 2, 2, 2, 2}}, 2, kStation, ipv4(198, 18, 0, 1), kPeer,
                    ipv4(198, 18, 1, 1));
    EXPECT_TRUE(arp->send(a.data(), a.size()));        // DL_UNITDATA_REQ: the NIC builds the header
    auto big = udp_frame(kPeer, kStation, 2001, 1480); // over the MTU
    ip->send(big.data(), big.size());
    FrameCollector *sink = sink_collector(drv->instance(0)->backend());
    auto kept = sink->kept();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], f);
    std::vector<uint8_t> want_arp = a;
    std::memcpy(want_arp.data() + 6, kStation.data(), 6); // source is the adapter's address
    EXPECT_EQ(kept[1], want_arp);
    const NicCounters &c = drv->instance(0)->counters();
    EXPECT_EQ(c.tx_frames, 2u);
    EXPECT_EQ(c.tx_errors, 1u);
}

TEST(NicReplay, OwnFramesGoDownThroughTheStackOthersComeUp)
{
    std::string path = "/tmp/nvx-net-nicreplay-" + std::to_string(getpid()) + ".pcap";
    PcapWriter w;
    ASSERT_TRUE(w.open(path));
    std::vector<std::vector<uint8_t>> in, out;
    for (uint16_t i = 0; i < 20; i++) {
        bool mine = i % 4 == 1;
        auto f = mine ? udp_frame(kPeer, kStation, i) : udp_frame(kStation, kPeer, i);
        (mine ? out : in).push_back(f);
        ASSERT_TRUE(w.write(0, i, f.data(), f.size()));
    }
    ASSERT_TRUE(w.close());
    FrameCollector tx(true);
    std::string err;
    PcapReplayConfig rc;
    rc.path = path;
    rc.pacing.start_held = true; // released once the stack is plumbed
    auto backend = make_pcap_replay_backend(rc, &tx, &err);
    ASSERT_TRUE(backend) << err;
    Backend *b = backend.get();
    auto drv = nettest::load_nic("tstrep", 1, std::move(backend), kStation);
    auto ip = plumb("tstrep0", "ip", true);
    ASSERT_TRUE(ip);
    pcap_replay_runner(*b)->release();
    ASSERT_TRUE(pcap_replay_runner(*b)->wait_finished(10000));
    EXPECT_EQ(ip->link().kept(), in); // received from the wire, up through ip
    EXPECT_EQ(tx.kept(), out);        // sent by ip, down through the NIC to the backend
    EXPECT_EQ(ip->link().tx_frames, out.size());
    EXPECT_EQ(drv->instance(0)->counters().stack_unsent, 0u);
    std::remove(path.c_str());
}

TEST(NicWire, TwoNicsBackToBack)
{
    auto [wa, wb] = make_wire();
    MacAddr ma{2, 0, 0, 0, 0xa, 1}, mb{2, 0, 0, 0, 0xb, 1};
    auto da = nettest::load_nic("tstwa", 1, std::move(wa), ma); // style 1
    auto db = nettest::load_nic("tstwb", 2, std::move(wb), mb); // style 2
    auto ipa = plumb("tstwa0", "ip", true);
    auto ipb = plumb("tstwb0", "ip", true);
    ASSERT_TRUE(ipa && ipb);
    for (uint16_t i = 0; i < 50; i++) {
        auto f = udp_frame(mb, ma, i);
        ASSERT_TRUE(ipa->send(f.data(), f.size()));
        auto g = udp_frame(ma, mb, static_cast<uint16_t>(1000 + i));
        ASSERT_TRUE(ipb->send(g.data(), g.size()));
    }
    ASSERT_TRUE(nettest::wait_for(
        [&] { return ipa->link().rx_frames == 50 && ipb->link().rx_frames == 50; }));
    auto kb = ipb->link().kept();
    for (uint16_t i = 0; i < 50; i++)
        EXPECT_EQ(kb[i], udp_frame(mb, ma, i)) << i; // in order, unchanged
    EXPECT_EQ(da->instance(0)->counters().tx_frames, 50u);
    EXPECT_EQ(db->instance(0)->counters().rx_frames, 50u);
}

TEST(NicBridge, FramesReceivedOnOneInterfaceLeaveThroughTheOther)
{
    GeneratorConfig gc;
    gc.station_mac = kStation;
    gc.inbound_only = true;
    gc.mix.other_station = 0;
    gc.pacing.max_frames = 300;
    gc.pacing.start_held = true;
    FrameCollector none;
    auto gen = make_generator_backend(gc, &none);
    Backend *gb = gen.get();
    auto dx = nettest::load_nic("tstbx", 2, std::move(gen), kStation);
    auto dy = nettest::load_nic("tstby", 2, make_sink_backend(true), {2, 0, 0, 0, 0, 0x22});
    auto ipx = plumb("tstbx0", "ip", true);
    auto ipy = plumb("tstby0", "ip", false);
    ASSERT_TRUE(ipx && ipy);
    ipx->bridge_to(ipy.get());
    generator_runner(*gb)->release();
    ASSERT_TRUE(generator_runner(*gb)->wait_finished(10000));
    ipx->bridge_to(nullptr);
    // Every IPv4 frame ip took on x left y unchanged, in order.
    FrameCollector *ysink = sink_collector(dy->instance(0)->backend());
    auto sent = ysink->kept();
    auto got = ipx->link().kept();
    EXPECT_GT(sent.size(), 100u);
    EXPECT_EQ(sent, got);
    EXPECT_EQ(sent.size(), ipx->link().bridged.load());
    for (const auto &f : sent)
        EXPECT_TRUE(nettest::frame_checksums_ok(f));
}
