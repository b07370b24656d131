// Frames from the NIC and from the ip module through the whole capture decision, with a
// sensor's device stream reading the mapped region: adapters not captured, capture modes,
// the ignore list (inbound bare frames only), bypass, filters, flow control, inline hold and
// release with block verdicts, a module stream closing during a capture, the device stream
// closing, and the mapping range checks.
#include "module_fixture.h"

#include "nvxmain.h"

#include "devmap.h"
#include "frame/ether.h"

#include <sys/dlpi.h>

#include <climits>
#include <cstring>

using namespace modtest;
using namespace platform::streams;
using platform::net::MacAddr;

class Capture : public ModuleTest
{
  protected:
    void SetUp() override
    {
        ModuleTest::SetUp();
        add_nic("cpa", 1);
        ip_ = plumb("cpa0", "ip");
        arp_ = plumb("cpa0", "arp");
        ASSERT_TRUE(ip_ && arp_);
        mac_ = nic_mac("cpa", 0);
        dev_ = open_nvx();
    }
    void TearDown() override
    {
        region_.reset();
        dev_.reset();
        ModuleTest::TearDown();
    }
    void start(U32 flags, U32 mode = 0, U32 bufSize = 65536)
    {
        region_ = start_capture(*dev_, "cpa0", flags, mode, bufSize);
        ASSERT_TRUE(region_);
    }
    uint64_t at_ip() const { return ip_->link().rx_frames.load(); }
    uint64_t on_wire() { return sent_by("cpa0")->frames(); }

    platform::net::PlumbedInterface *ip_ = nullptr, *arp_ = nullptr;
    MacAddr mac_{};
    FilePtr dev_;
    std::unique_ptr<Region> region_;
};

TEST_F(Capture, AdapterNotCapturedPassesEverythingAtOnce)
{
    receive("cpa0", udp_in(mac_));
    EXPECT_EQ(at_ip(), 1u);
    auto out = udp_out(mac_);
    ASSERT_TRUE(ip_->send(out.data(), out.size()));
    EXPECT_EQ(on_wire(), 1u);
    // Opened but without a session: still nothing held.
    ASSERT_EQ(open_adapter(*dev_, "cpa0"), 0);
    receive("cpa0", udp_in(mac_));
    EXPECT_EQ(at_ip(), 2u);
}

TEST_F(Capture, HeldUntilReadAndReleasedInOrderBothWays)
{
    start(CM_PROMISCUOUS);
    const auto in = udp_in(mac_, 1, 7, 60);
    receive("cpa0", in);
    const auto out = udp_out(mac_, 2);
    ASSERT_TRUE(ip_->send(out.data(), out.size()));
    EXPECT_EQ(at_ip(), 0u);
    EXPECT_EQ(on_wire(), 0u);

    auto seen = read_frames(*dev_, *region_);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].pb->ulStatus, PB_MARK_INBOUND);
    EXPECT_EQ(seen[0].bytes, in); // link header included
    EXPECT_EQ(seen[0].pb->ulCapturedBytes, in.size());
    EXPECT_EQ(seen[0].pb->ulSequence, 0u);
    EXPECT_EQ(seen[1].pb->ulStatus, PB_MARK_OUTBOUND | PB_FLAG_TX);
    EXPECT_EQ(seen[1].bytes, out);
    EXPECT_EQ(seen[1].pb->ulSequence, 1u);
    // Still held while the reader has them; the next read request releases them.
    EXPECT_EQ(at_ip(), 0u);
    EXPECT_EQ(read_request(*dev_, *region_), static_cast<U32>(NVX_READ_TIMEOUT));
    EXPECT_EQ(at_ip(), 1u);
    EXPECT_EQ(on_wire(), 1u);
    EXPECT_EQ(ip_->link().kept().back(), in);
    EXPECT_EQ(sent_by("cpa0")->kept().back(), out);
}

TEST_F(Capture, DirectedAndBroadcastModesLeaveMulticastAlone)
{
    start(CM_DIRECTED | CM_BROADCAST);
    receive("cpa0", udp_in(platform::net::ipv4_multicast_mac(platform::net::ipv4(239, 1, 1, 1))));
    EXPECT_EQ(at_ip(), 1u); // not captured: passed at once
    receive("cpa0", udp_in(platform::net::kBroadcastMac));
    receive("cpa0", udp_in(mac_));
    EXPECT_EQ(at_ip(), 1u);
    EXPECT_EQ(read_frames(*dev_, *region_).size(), 2u);
}

TEST_F(Capture, IgnoreListDropsInboundBareFramesOnly)
{
    start(CM_PROMISCUOUS);
    ASSERT_EQ(ignore(*dev_, peer_ip(1), 60, platform::net::kIpProtoUdp), 0);
    // Also bypassed and filtered: the ignore list comes first.
    ASSERT_EQ(bypass(*dev_, peer_ip(1)), 0);
    receive("cpa0", udp_in(mac_, 1));
    EXPECT_EQ(at_ip(), 0u);
    ASSERT_EQ(bypass(*dev_, 0), 0);
    receive("cpa0", udp_in(mac_, 2)); // another source: captured
    receive("cpa0", tcp_in(mac_, 1)); // same source, other protocol: captured
    auto out = udp_out(mac_, 1);      // outbound to the ignored address: captured
    ASSERT_TRUE(ip_->send(out.data(), out.size()));

    // The same datagram as DL_UNITDATA_IND (on the arp stream) is not checked either.
    const auto frame = udp_in(mac_, 1);
    mblk_t *data = allocb(frame.size() + 16, BPRI_MED);
    data->b_rptr += 2;
    std::memcpy(data->b_rptr, frame.data(), frame.size());
    data->b_wptr = data->b_rptr + frame.size();
    data->b_rptr += platform::net::kEtherHeaderLen; // the header lies in front, as delivered
    mblk_t *ind = allocb(sizeof(dl_unitdata_ind_t), BPRI_MED);
    dl_unitdata_ind_t rec{};
    rec.dl_primitive = DL_UNITDATA_IND;
    std::memcpy(ind->b_wptr, &rec, sizeof rec);
    ind->b_wptr += sizeof rec;
    ind->b_datap->db_type = M_PROTO;
    ind->b_cont = data;
    arp_->file().inject_up(ind);

    auto seen = read_frames(*dev_, *region_);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[3].bytes, frame);
    EXPECT_EQ(read_request(*dev_, *region_), static_cast<U32>(NVX_READ_TIMEOUT));
    EXPECT_EQ(at_ip(), 2u);
    EXPECT_EQ(arp_->link().rx_frames.load(), 1u); // the DL_UNITDATA_IND went on whole
}

TEST_F(Capture, BypassAndFiltersPassUncaptured)
{
    start(CM_PROMISCUOUS);
    ASSERT_EQ(bypass(*dev_, peer_ip(3)), 0);
    receive("cpa0", udp_in(mac_, 3));
    auto out3 = udp_out(mac_, 3);
    ASSERT_TRUE(ip_->send(out3.data(), out3.size()));
    EXPECT_EQ(at_ip(), 1u);
    EXPECT_EQ(on_wire(), 1u);
    ASSERT_EQ(bypass(*dev_, 0), 0);

    // Peer 4 filtered both ways for UDP; peer 5 filtered inbound only.
    ASSERT_EQ(add_filter(*dev_, peer_ip(4), 32, platform::net::kIpProtoUdp, 2), 0);
    ASSERT_EQ(add_filter(*dev_, peer_ip(5), 32, 255, 1), 0);
    receive("cpa0", udp_in(mac_, 4));
    auto out4 = udp_out(mac_, 4);
    ASSERT_TRUE(ip_->send(out4.data(), out4.size()));
    receive("cpa0", udp_in(mac_, 5));
    EXPECT_EQ(at_ip(), 3u);
    EXPECT_EQ(on_wire(), 2u);
    receive("cpa0", tcp_in(mac_, 4)); // other protocol: captured
    auto out5 = udp_out(mac_, 5);     // outbound, filter is inbound only: captured
    ASSERT_TRUE(ip_->send(out5.data(), out5.size()));
    EXPECT_EQ(read_frames(*dev_, *region_).size(), 2u);
}

TEST_F(Capture, FullStagingQueueTurnsFlowControlOnUntilTheReaderCatchesUp)
{
    start(CM_PROMISCUOUS, 0, 8192); // room for a few frame records only
    (void)console();
    const int sent = 12;
    for (int i = 0; i < sent; i++)
        receive("cpa0", udp_in(mac_, 1, static_cast<uint16_t>(100 + i)));
    const std::string log = console();
    EXPECT_TRUE(contains(log, "queue_packet: capture buffer is full for q=0x")) << log;
    EXPECT_TRUE(contains(log, "Turning on flow control, rq=<")) << log;
    const uint64_t passed = at_ip();
    EXPECT_GT(passed, 0u);  // forwarded uncaptured
    EXPECT_LT(passed, 12u); // some were staged
    // While flow controlled even a bypassed frame counts as buffer full and goes on.
    ASSERT_EQ(bypass(*dev_, peer_ip(9)), 0);
    receive("cpa0", udp_in(mac_, 9));
    EXPECT_EQ(at_ip(), passed + 1);
    ASSERT_EQ(bypass(*dev_, 0), 0);

    size_t captured = 0;
    for (int round = 0; round < 8 && at_ip() < sent + 1u; round++)
        captured += read_frames(*dev_, *region_).size();
    EXPECT_EQ(at_ip(), sent + 1u);
    EXPECT_EQ(captured + passed, static_cast<size_t>(sent));
    EXPECT_TRUE(contains(console(), "after buffer full"));
    // Capturing again.
    receive("cpa0", udp_in(mac_));
    EXPECT_EQ(read_frames(*dev_, *region_).size(), 1u);
}

TEST_F(Capture, InlineVerdictsDropBlockedFramesWithResets)
{
    start(CM_INLINE, MODE_INLINE);
    receive("cpa0", tcp_in(mac_, 1));
    receive("cpa0", udp_in(mac_, 2));
    auto seen = read_frames(*dev_, *region_);
    ASSERT_EQ(seen.size(), 2u);
    seen[0].pb->ulStatus |= PB_FLAG_FRAME_BLOCKED;
    EXPECT_EQ(read_request(*dev_, *region_), static_cast<U32>(NVX_READ_TIMEOUT));
    // The TCP segment was answered, not passed on; the datagram went on.
    EXPECT_EQ(ip_->link().kept().size(), 2u); // the datagram and the reset towards the stack
    bool rst = false;
    for (const auto &f : sent_by("cpa0")->kept())
        rst |= f.size() > 47 && (f[47] & platform::net::kTcpRst) != 0;
    EXPECT_TRUE(rst);
    for (const auto &f : ip_->link().kept())
        EXPECT_NE(f, seen[0].bytes);
}

TEST_F(Capture, BlockVerdictIsIgnoredOutsideInlineMode)
{
    start(CM_INLINE, 0); // capture mode inline, open mode not
    receive("cpa0", tcp_in(mac_, 1));
    auto seen = read_frames(*dev_, *region_);
    ASSERT_EQ(seen.size(), 1u);
    seen[0].pb->ulStatus |= PB_FLAG_FRAME_BLOCKED;
    EXPECT_EQ(read_request(*dev_, *region_), static_cast<U32>(NVX_READ_TIMEOUT));
    ASSERT_EQ(ip_->link().kept().size(), 1u);
    EXPECT_EQ(ip_->link().kept()[0], seen[0].bytes);
    EXPECT_EQ(on_wire(), 0u);
}

TEST_F(Capture, ClosingAModuleStreamFlushesAndTheCaptureGoesOn)
{
    start(CM_PROMISCUOUS);
    receive("cpa0", udp_in(mac_, 1));
    ASSERT_EQ(read_frames(*dev_, *region_).size(), 1u); // read, not released
    receive("cpa0", udp_in(mac_, 2));                   // staged
    std::vector<uint8_t> arpFrame;
    platform::net::build_arp_frame(arpFrame, {platform::net::kBroadcastMac, kPeerMac}, 1, kPeerMac,
                                   peer_ip(1), MacAddr{}, kStationIp);
    receive("cpa0", arpFrame); // held from the arp stream
    EXPECT_EQ(at_ip(), 0u);
    (void)console();
    arp_->file().close(); // closed while still bound (no DL_UNBIND_REQ first)
    const std::string log = console();
    EXPECT_TRUE(contains(log, "flush_queue: staged=")) << log;
    EXPECT_EQ(at_ip(), 2u); // every frame of the session went on
    EXPECT_EQ(ppaList[0].bndcnt, 1u);
    // The capture goes on with the remaining stream, numbering afresh.
    receive("cpa0", udp_in(mac_, 3));
    EXPECT_EQ(at_ip(), 2u);
    auto seen = read_frames(*dev_, *region_);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].pb->ulSequence, 0u);
}

// A normal unplumb: DL_UNBIND_REQ down through nvx, then the close. The frames held from the
// stream (read and staged) go on to it at the close's flush: unbound, it is still open.
TEST_F(Capture, UnplumbingAModuleStreamPassesItsHeldFramesOn)
{
    start(CM_PROMISCUOUS);
    std::vector<uint8_t> arpFrame;
    platform::net::build_arp_frame(arpFrame, {platform::net::kBroadcastMac, kPeerMac}, 1, kPeerMac,
                                   peer_ip(1), MacAddr{}, kStationIp);
    receive("cpa0", arpFrame);
    ASSERT_EQ(read_frames(*dev_, *region_).size(), 1u); // read, released by the next request
    receive("cpa0", arpFrame);                          // staged
    EXPECT_EQ(arp_->link().rx_frames.load(), 0u);
    const int freedBefore = totalFreed, putBefore = totalPut;
    EXPECT_EQ(arp_->unplumb(), 0);
    // Passed up to arp (which no longer hands frames to its link once unplumbed); the count
    // also has the DLPI requests nvx passed down. Freeing them would show in totalFreed.
    EXPECT_GE(totalPut - putBefore, 2);
    EXPECT_EQ(totalFreed, freedBefore);
    EXPECT_EQ(ppaList[0].bndcnt, 1u);
    // The capture goes on with the ip stream.
    receive("cpa0", udp_in(mac_, 3));
    EXPECT_EQ(read_frames(*dev_, *region_).size(), 1u);
}

TEST_F(Capture, ClosingTheDeviceStreamStopsAndPassesEveryHeldFrame)
{
    start(CM_PROMISCUOUS);
    receive("cpa0", udp_in(mac_, 1));
    receive("cpa0", udp_in(mac_, 2));
    ASSERT_EQ(read_frames(*dev_, *region_).size(), 2u);
    receive("cpa0", udp_in(mac_, 3));
    auto out = udp_out(mac_, 4);
    ASSERT_TRUE(ip_->send(out.data(), out.size()));
    (void)console();
    region_.reset();
    dev_.reset();
    const std::string log = console();
    EXPECT_TRUE(contains(log, "NVX: Closing capture 0x")) << log;
    EXPECT_EQ(at_ip(), 3u);
    EXPECT_EQ(on_wire(), 1u);
    EXPECT_EQ(ppaList[0].gip, nullptr);
    receive("cpa0", udp_in(mac_));
    EXPECT_EQ(at_ip(), 4u);
}

TEST_F(Capture, MappingAcceptsExactlyTheRegion)
{
    ASSERT_EQ(open_adapter(*dev_, "cpa0"), 0);
    Mapping m;
    (void)console();
    EXPECT_EQ(dev_->mmap(0, 8192, &m), ENXIO);
    EXPECT_TRUE(contains(console(), "nvx_devmap: no session for binding "));
    CreateRxData reply{};
    ASSERT_EQ(create_rx(*dev_, 65536, CM_PROMISCUOUS, &reply), 0);
    const size_t size = reply.ulBufSize;
    auto whole = map(*dev_, size);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->length, size);
    EXPECT_EQ(dev_->mmap(0, size + PAGESIZE, &m), ENXIO);
    EXPECT_TRUE(contains(console(), "nvx_devmap: out of range off 0 len 12000 size 10000 "));

    // The range checks themselves, with offsets and lengths no stream head would pass on.
    const dev_t dev = dev_->dev();
    struct RangeCase {
        const char *name;
        offset_t off;
        size_t len;
        int rc;
    };
    const RangeCase cases[] = {
        {"exact", 0, size, 0},
        {"tail page", static_cast<offset_t>(size - PAGESIZE), PAGESIZE, 0},
        {"rounded up to the end", static_cast<offset_t>(PAGESIZE), size - PAGESIZE - 1, 0},
        {"one page more", 0, size + PAGESIZE, ENXIO},
        {"negative offset", -static_cast<offset_t>(PAGESIZE), 2 * PAGESIZE, ENXIO},
        {"offset at the end", static_cast<offset_t>(size), PAGESIZE, ENXIO},
        {"beyond the end", static_cast<offset_t>(PAGESIZE), size, ENXIO},
        {"rounding wraps", 0, SIZE_MAX - 10, ENXIO},
        {"huge offset", LLONG_MAX - static_cast<offset_t>(PAGESIZE) + 1, 2 * PAGESIZE, ENXIO},
    };
    for (const RangeCase &c : cases) {
        devmap_handle h;
        size_t maplen = 0;
        EXPECT_EQ(nvx_devmap(dev, &h, c.off, c.len, &maplen, 0), c.rc) << c.name;
        EXPECT_EQ(h.set, c.rc == 0) << c.name;
        if (c.rc == 0) {
            EXPECT_LE(static_cast<size_t>(c.off) + h.len, size) << c.name;
        }
    }
    devmap_handle h;
    size_t maplen = 0;
    EXPECT_EQ(nvx_devmap(makedevice(getmajor(dev), 999), &h, 0, PAGESIZE, &maplen, 0), ENXIO);
    EXPECT_TRUE(contains(console(), "nvx_devmap: no binding for dev "));
}
