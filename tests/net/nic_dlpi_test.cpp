// The NIC driver's DLPI provider: the conversation of a plumb in both styles, as a module
// between the driver and the stack module sees it, and the error acknowledgements.
#include "dltrace_module.h"
#include "nic_fixture.h"
#include "stack/plumb.h"
#include "streams/autopush.h"
#include "streams/modules.h"

#include <sys/sad.h>

#include <gtest/gtest.h>

using namespace platform::net;
using dltrace::Event;

namespace
{

Event dn(int type, uint32_t prim)
{
    return {false, type, prim, 0};
}
Event up(int type, uint32_t prim, uint32_t state = 0)
{
    return {true, type, prim, state};
}

} // namespace

TEST(NicDlpi, PlumbConversationStyle2Ip)
{
    dltrace::load();
    auto drv = nettest::load_nic("tsttwo", 2, make_sink_backend(), {2, 0, 0, 0, 0, 5}, 3);
    ASSERT_TRUE(drv);
    dltrace::reset();
    std::unique_ptr<PlumbedInterface> ip;
    ASSERT_EQ(PlumbedInterface::plumb({"tsttwo3", "ip", false, {"dltrace"}, nettest::kRoot}, &ip),
              0);
    EXPECT_TRUE(ip->link().fastpath());
    std::vector<std::string> mods;
    ASSERT_EQ(ip->file().list(&mods), 0);
    EXPECT_EQ(mods, (std::vector<std::string>{"ip", "dltrace", "tsttwo"}));
    ASSERT_EQ(ip->unplumb(), 0);
    std::vector<Event> want = {
        dn(M_PCPROTO, DL_INFO_REQ),   up(M_PCPROTO, DL_INFO_ACK, DL_UNATTACHED),
        dn(M_PROTO, DL_ATTACH_REQ),   up(M_PCPROTO, DL_OK_ACK),
        dn(M_PROTO, DL_BIND_REQ),     up(M_PCPROTO, DL_BIND_ACK),
        dn(M_PCPROTO, DL_INFO_REQ),   up(M_PCPROTO, DL_INFO_ACK, DL_IDLE),
        dn(M_IOCTL, DL_IOC_HDR_INFO), up(M_IOCACK, DL_IOC_HDR_INFO),
        dn(M_PROTO, DL_UNBIND_REQ),   up(M_PCPROTO, DL_OK_ACK),
        dn(M_PROTO, DL_DETACH_REQ),   up(M_PCPROTO, DL_OK_ACK),
    };
    // The plumb's own ioctls pass dltrace too (below the stack module they do not: the
    // stack module answers them), so only DLPI traffic is recorded.
    auto got = dltrace::events();
    EXPECT_EQ(got, want) << dltrace::describe(got);
}

TEST(NicDlpi, PlumbConversationStyle1Arp)
{
    dltrace::load();
    auto drv = nettest::load_nic("tstone", 1, make_sink_backend(), {2, 0, 0, 0, 0, 6}, 0);
    ASSERT_TRUE(drv);
    dltrace::reset();
    std::unique_ptr<PlumbedInterface> arp;
    ASSERT_EQ(PlumbedInterface::plumb({"tstone0", "arp", false, {"dltrace"}, nettest::kRoot}, &arp),
              0);
    EXPECT_FALSE(arp->link().fastpath());
    ASSERT_EQ(arp->unplumb(), 0);
    std::vector<Event> want = {
        dn(M_PCPROTO, DL_INFO_REQ), up(M_PCPROTO, DL_INFO_ACK, DL_UNBOUND),
        dn(M_PROTO, DL_BIND_REQ),   up(M_PCPROTO, DL_BIND_ACK),
        dn(M_PCPROTO, DL_INFO_REQ), up(M_PCPROTO, DL_INFO_ACK, DL_IDLE),
        dn(M_PROTO, DL_UNBIND_REQ), up(M_PCPROTO, DL_OK_ACK),
    };
    auto got = dltrace::events();
    EXPECT_EQ(got, want) << dltrace::describe(got);
}

TEST(NicDlpi, InfoAckDescribesTheProviderInEachState)
{
    auto drv = nettest::load_nic("tstinfo", 2, make_sink_backend(), {2, 0, 0, 0, 0, 7}, 1, 1400);
    platform::streams::FilePtr f;
    ASSERT_EQ(platform::streams::open("/dev/tstinfo", O_RDWR, nettest::kRoot, &f), 0);
    uint32_t info = DL_INFO_REQ;
    auto a = nettest::dl_request(*f, &info, 4, true);
    ASSERT_EQ(a.size(), DL_INFO_ACK_SIZE + 6); // no own address yet, broadcast address
    EXPECT_EQ(nettest::word(a, 0), DL_INFO_ACK);
    EXPECT_EQ(nettest::word(a, 24), DL_UNATTACHED);
    EXPECT_EQ(nettest::word(a, 56), 0u);
    EXPECT_EQ(nettest::word(a, 52), DL_STYLE2);
    dl_attach_req_t at{DL_ATTACH_REQ, 1};
    EXPECT_EQ(nettest::word(nettest::dl_request(*f, &at, sizeof at), 0), DL_OK_ACK);
    dl_bind_req_t b{DL_BIND_REQ, 0x0800, 0, DL_CLDLS, 0, 0};
    auto ba = nettest::dl_request(*f, &b, sizeof b);
    ASSERT_EQ(ba.size(), DL_BIND_ACK_SIZE + 8);
    EXPECT_EQ(nettest::word(ba, 4), 0x0800u);
    EXPECT_EQ(ba[24 + 5], 7); // the bound DLSAP starts with the MAC
    a = nettest::dl_request(*f, &info, 4, true);
    ASSERT_EQ(a.size(), DL_INFO_ACK_SIZE + 8 + 6);
    EXPECT_EQ(nettest::word(a, 4), 1400u); // dl_max_sdu is the MTU
    EXPECT_EQ(nettest::word(a, 12), 8u);
    EXPECT_EQ(nettest::word(a, 16), static_cast<uint32_t>(DL_ETHER));
    EXPECT_EQ(nettest::word(a, 24), DL_IDLE);
    EXPECT_EQ(static_cast<int32_t>(nettest::word(a, 28)), -2);
    EXPECT_EQ(nettest::word(a, 56), 76u);
    EXPECT_EQ(nettest::word(a, 64), 6u);
    EXPECT_EQ(nettest::word(a, 68), 84u);
    EXPECT_EQ(a[76 + 5], 7);
    EXPECT_EQ(a[84], 0xff);
}

TEST(NicDlpi, ErrorAcknowledgements)
{
    auto drv = nettest::load_nic("tsterr", 2, make_sink_backend());
    struct Case {
        const char *name;
        std::vector<uint32_t> before; // primitives sent first (each acknowledged)
        std::vector<uint8_t> req;     // the request
        uint32_t error_primitive;
        uint32_t dl_errno;
    };
    auto words = [](std::initializer_list<uint32_t> w) {
        std::vector<uint8_t> v(w.size() * 4);
        std::memcpy(v.data(), std::data(w), v.size());
        return v;
    };
    std::vector<Case> cases = {
        {"unknown primitive", {}, words({0x99}), 0x99, DL_BADPRIM},
        {"gap primitive 0x16", {}, words({0x16}), 0x16, DL_BADPRIM},
        {"known, unsupported",
         {},
         words({DL_CONNECT_REQ, 0, 0, 0, 0, 0}),
         DL_CONNECT_REQ,
         DL_NOTSUPPORTED},
        {"shorter than a primitive", {}, {1, 0}, DL_PRIM_INVAL, DL_BADPRIM},
        {"short attach", {}, words({DL_ATTACH_REQ}), DL_ATTACH_REQ, DL_BADPRIM},
        {"short bind", {}, words({DL_BIND_REQ, 0x800}), DL_BIND_REQ, DL_BADPRIM},
        {"bad ppa", {}, words({DL_ATTACH_REQ, 9}), DL_ATTACH_REQ, DL_BADPPA},
        {"bind unattached", {}, words({DL_BIND_REQ, 0x800, 0, 2, 0}), DL_BIND_REQ, DL_OUTSTATE},
        {"unbind unbound", {DL_ATTACH_REQ}, words({DL_UNBIND_REQ}), DL_UNBIND_REQ, DL_OUTSTATE},
        {"detach unattached", {}, words({DL_DETACH_REQ}), DL_DETACH_REQ, DL_OUTSTATE},
        {"attach twice", {DL_ATTACH_REQ}, words({DL_ATTACH_REQ, 0}), DL_ATTACH_REQ, DL_OUTSTATE},
        {"802.3 length as sap",
         {DL_ATTACH_REQ},
         words({DL_BIND_REQ, 0x100, 0, 2, 0}),
         DL_BIND_REQ,
         DL_BADSAP},
        {"phys addr unattached",
         {},
         words({DL_PHYS_ADDR_REQ, DL_CURR_PHYS_ADDR}),
         DL_PHYS_ADDR_REQ,
         DL_OUTSTATE},
    };
    for (const auto &c : cases) {
        platform::streams::FilePtr f;
        ASSERT_EQ(platform::streams::open("/dev/tsterr", O_RDWR, nettest::kRoot, &f), 0);
        for (uint32_t p : c.before) {
            ASSERT_EQ(p, static_cast<uint32_t>(DL_ATTACH_REQ));
            dl_attach_req_t at{DL_ATTACH_REQ, 0};
            ASSERT_EQ(nettest::word(nettest::dl_request(*f, &at, sizeof at), 0), DL_OK_ACK)
                << c.name;
        }
        auto r = nettest::dl_request(*f, c.req.data(), c.req.size());
        ASSERT_EQ(r.size(), DL_ERROR_ACK_SIZE) << c.name;
        EXPECT_EQ(nettest::word(r, 0), DL_ERROR_ACK) << c.name;
        EXPECT_EQ(nettest::word(r, 4), c.error_primitive) << c.name;
        EXPECT_EQ(nettest::word(r, 8), c.dl_errno) << c.name;
    }
}

TEST(NicDlpi, FastPathIoctlNeedsABoundStream)
{
    auto drv = nettest::load_nic("tstfp", 1, make_sink_backend());
    platform::streams::FilePtr f;
    ASSERT_EQ(platform::streams::open("/dev/tstfp0", O_RDWR, nettest::kRoot, &f), 0);
    std::vector<uint8_t> req(DL_UNITDATA_REQ_SIZE + 8, 0);
    dl_unitdata_req_t ud{DL_UNITDATA_REQ, 8, DL_UNITDATA_REQ_SIZE, {0, 0}};
    std::memcpy(req.data(), &ud, sizeof ud);
    std::memset(req.data() + DL_UNITDATA_REQ_SIZE, 0xff, 6);
    uint8_t out[64];
    platform::streams::IoctlResult res;
    EXPECT_EQ(f->ioctl_str(DL_IOC_HDR_INFO, 0, req.data(), req.size(), out, sizeof out, &res),
              EINVAL); // not bound
    dl_bind_req_t b{DL_BIND_REQ, 0x0800, 0, DL_CLDLS, 0, 0};
    ASSERT_EQ(nettest::word(nettest::dl_request(*f, &b, sizeof b), 0), DL_BIND_ACK);
    ASSERT_EQ(f->ioctl_str(DL_IOC_HDR_INFO, 0, req.data(), req.size(), out, sizeof out, &res), 0);
    ASSERT_EQ(res.len, req.size() + 14);
    const uint8_t *hdr = out + req.size();
    EXPECT_EQ(hdr[0], 0xff);                                   // destination asked for
    EXPECT_EQ(std::memcmp(hdr + 6, "\x02\0\0\0\0\x01", 6), 0); // the adapter's address
    EXPECT_EQ(hdr[12], 0x08);
    EXPECT_EQ(hdr[13], 0x00);
    EXPECT_EQ(f->ioctl_str(0x1234, 0, nullptr, 0, nullptr, 0, &res), EINVAL);
}

TEST(NicDriver, RejectsBadConfigurations)
{
    struct Case {
        const char *name;
        int style;
        uint32_t mtu;
        MacAddr mac;
    } cases[] = {
        {"", 2, 1500, {2, 0, 0, 0, 0, 1}},          {"bad9", 2, 1500, {2, 0, 0, 0, 0, 1}},
        {"okname", 3, 1500, {2, 0, 0, 0, 0, 1}},    {"okname", 2, 20, {2, 0, 0, 0, 0, 1}},
        {"okname", 2, 1500, {1, 0, 0x5e, 0, 0, 1}}, {"UPPER", 1, 1500, {2, 0, 0, 0, 0, 1}},
    };
    for (const auto &c : cases) {
        NicDriverConfig cfg{c.name, c.style, {}};
        NicInstanceConfig ic;
        ic.mtu = c.mtu;
        ic.mac = c.mac;
        ic.backend = make_sink_backend();
        cfg.instances.push_back(std::move(ic));
        std::unique_ptr<NicDriver> drv;
        EXPECT_EQ(NicDriver::load(std::move(cfg), &drv), EINVAL) << c.name;
    }
    auto a = nettest::load_nic("tstdup", 2, make_sink_backend());
    NicDriverConfig cfg{"tstdup", 2, {}};
    cfg.instances.push_back({0, {2, 0, 0, 0, 0, 1}, 1500, false, make_sink_backend()});
    std::unique_ptr<NicDriver> drv;
    EXPECT_EQ(NicDriver::load(std::move(cfg), &drv), EEXIST);
}

// Autopush puts a module directly above the driver of every stream the stack opens: that is
// where a capture module sits. Both the ip and the arp stream of the interface get one.
TEST(NicDlpi, AutopushedModuleSitsDirectlyAboveTheDriver)
{
    dltrace::load();
    platform::sad::install();
    auto drv = nettest::load_nic("tstap", 2, make_sink_backend(), {2, 0, 0, 0, 0, 8});
    platform::streams::FilePtr admin;
    ASSERT_EQ(platform::streams::open("/dev/sad/admin", O_RDWR, nettest::kRoot, &admin), 0);
    strapush sp{};
    sp.sap_cmd = SAP_ALL;
    sp.sap_major = static_cast<major_t>(platform::ddi::find_major("tstap"));
    sp.sap_npush = 1;
    std::strcpy(sp.sap_list[0], "dltrace");
    platform::streams::IoctlResult res;
    ASSERT_EQ(admin->ioctl_str(SAD_SAP, 0, &sp, sizeof sp, nullptr, 0, &res), 0);
    dltrace::reset();
    std::unique_ptr<PlumbedInterface> ip, arp;
    ASSERT_EQ(PlumbedInterface::plumb({"tstap0", "ip", false, {}, nettest::kRoot}, &ip), 0);
    ASSERT_EQ(PlumbedInterface::plumb({"tstap0", "arp", false, {}, nettest::kRoot}, &arp), 0);
    std::vector<std::string> mods;
    ASSERT_EQ(ip->file().list(&mods), 0);
    EXPECT_EQ(mods, (std::vector<std::string>{"ip", "dltrace", "tstap"}));
    ASSERT_EQ(arp->file().list(&mods), 0);
    EXPECT_EQ(mods, (std::vector<std::string>{"arp", "dltrace", "tstap"}));
    size_t binds = 0;
    for (const auto &e : dltrace::events())
        binds += e.up && e.prim == DL_BIND_ACK;
    EXPECT_EQ(binds, 2u);
    ip.reset();
    arp.reset();
    sp.sap_cmd = SAP_CLEAR;
    EXPECT_EQ(admin->ioctl_str(SAD_SAP, 0, &sp, sizeof sp, nullptr, 0, &res), 0);
}

TEST(NicDlpi, Style1StreamsAreAttachedAndUnitdataErrorsComeAsUderrorInd)
{
    auto drv = nettest::load_nic("tstud", 1, make_sink_backend(true));
    platform::streams::FilePtr f;
    ASSERT_EQ(platform::streams::open("/dev/tstud0", O_RDWR, nettest::kRoot, &f), 0);
    dl_attach_req_t at{DL_ATTACH_REQ, 0};
    auto r = nettest::dl_request(*f, &at, sizeof at);
    EXPECT_EQ(nettest::word(r, 0), DL_ERROR_ACK);
    EXPECT_EQ(nettest::word(r, 8), DL_OUTSTATE);
    uint32_t detach = DL_DETACH_REQ;
    EXPECT_EQ(nettest::word(nettest::dl_request(*f, &detach, 4), 8), DL_OUTSTATE);
    dl_bind_req_t b{DL_BIND_REQ, 0x0806, 0, DL_CLDLS, 0, 0};
    ASSERT_EQ(nettest::word(nettest::dl_request(*f, &b, sizeof b), 0), DL_BIND_ACK);
    // A destination of 3 bytes: DL_UDERROR_IND DL_BADADDR, nothing sent.
    std::vector<uint8_t> req(DL_UNITDATA_REQ_SIZE + 8, 0);
    dl_unitdata_req_t ud{DL_UNITDATA_REQ, 3, DL_UNITDATA_REQ_SIZE, {0, 0}};
    std::memcpy(req.data(), &ud, sizeof ud);
    std::vector<uint8_t> payload(28, 0x33);
    strbuf ctl{0, static_cast<int>(req.size()), reinterpret_cast<char *>(req.data())};
    strbuf data{0, static_cast<int>(payload.size()), reinterpret_cast<char *>(payload.data())};
    ASSERT_EQ(f->putmsg(&ctl, &data, 0), 0);
    std::vector<uint8_t> buf(64);
    strbuf rctl{64, 0, reinterpret_cast<char *>(buf.data())};
    int flags = 0, more = 0;
    ASSERT_EQ(f->getmsg(&rctl, nullptr, &flags, &more, 2000), 0);
    buf.resize(static_cast<size_t>(rctl.len));
    EXPECT_EQ(nettest::word(buf, 0), DL_UDERROR_IND);
    EXPECT_EQ(nettest::word(buf, 16), DL_BADADDR);
    // A good one goes out with the adapter's address as source and the bound EtherType.
    ud.dl_dest_addr_length = 6;
    std::memcpy(req.data(), &ud, sizeof ud);
    std::memset(req.data() + DL_UNITDATA_REQ_SIZE, 0xff, 6);
    ctl.len = DL_UNITDATA_REQ_SIZE + 6;
    ASSERT_EQ(f->putmsg(&ctl, &data, 0), 0);
    auto kept = sink_collector(drv->instance(0)->backend())->kept();
    ASSERT_EQ(kept.size(), 1u);
    ASSERT_EQ(kept[0].size(), 14u + payload.size());
    EXPECT_EQ(kept[0][0], 0xff);
    EXPECT_EQ(kept[0][11], 0x01);
    EXPECT_EQ(get_be16(kept[0].data() + 12), 0x0806);
    // Bare M_DATA on a stream that is not bound is dropped and counted.
    uint32_t unbind = DL_UNBIND_REQ;
    ASSERT_EQ(nettest::word(nettest::dl_request(*f, &unbind, 4), 0), DL_OK_ACK);
    EXPECT_EQ(f->write(kept[0].data(), kept[0].size()), 0);
    EXPECT_EQ(drv->instance(0)->counters().tx_errors, 1u);
    EXPECT_EQ(sink_collector(drv->instance(0)->backend())->frames(), 1u);
}
