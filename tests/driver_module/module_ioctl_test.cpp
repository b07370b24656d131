// Every control request through a real stream head on /dev/nvx: acknowledgements, refusals and
// their console lines, reply sizes, and the adapter requests with their hardening (one adapter
// per stream and one stream per adapter, names without NUL, streams left with a stale index).
#include "module_fixture.h"

#include "debug.h"
#include "dltrace_module.h"
#include "faults.h"
#include "nvxflood.h"
#include "nvxioctl.h"
#include "packetErrors.h"
#include "packetfilter.h"

#include <sys/kmem.h>

#include <cstring>
#include <thread>

using namespace modtest;
using namespace platform::streams;

namespace
{

struct Case {
    const char *name;
    int cmd;
    std::vector<uint8_t> data; // request bytes; empty: no data block
    int error;                 // 0: acknowledged
    size_t replyLength;        // ioc_count of the acknowledgement
    const char *line;          // console text expected, or nullptr
};

std::vector<uint8_t> bytes(const void *p, size_t n)
{
    const auto *b = static_cast<const uint8_t *>(p);
    return std::vector<uint8_t>(b, b + n);
}

template <class T> std::vector<uint8_t> rec(const T &r, size_t cut = 0)
{
    return bytes(&r, sizeof r - cut);
}

BindingInfo *binding_of(StreamFile &f)
{
    return static_cast<BindingInfo *>(f.head_wq()->q_next->q_ptr);
}

} // namespace

class Ioctls : public ModuleTest
{
};

TEST_F(Ioctls, EveryCommandWithItsEdgeCases)
{
    const IgnoreData ign{30, peer_ip(1), 6};
    const BypassData byp{peer_ip(2), 1};
    const ConfigData cfgUnknownSub{1, 99, 0}, cfgBadType{4, 0, 0}, cfgTimeout{2, 0, 30},
        cfgThreshold{3, 0, 70}, cfgStats{1, 's', 0};
    const FilterElement filter{peer_ip(3), 32, 6, 2, 0};
    OpenData open{};
    std::strcpy(open.ppaname, "nosuch0");
    const std::vector<Case> cases = {
        {"init", NVX_INIT_IOCTL, {}, 0, sizeof(InitData), nullptr},
        {"init discards data", NVX_INIT_IOCTL, {1, 2, 3}, 0, sizeof(InitData), nullptr},
        {"code 0x7002", 0x7002, {}, EINVAL, 0, "nvx_ioctl: unsupported ioctl: 7002\n"},
        {"read as ioctl",
         NVX_READ_IOCTL,
         {0, 0, 0, 0},
         EINVAL,
         0,
         "nvx_ioctl: unsupported ioctl: 7007\n"},
        {"free as ioctl", NVX_FREE_IOCTL, {}, EINVAL, 0, "nvx_ioctl: unsupported ioctl: 7008\n"},
        {"inject as ioctl",
         NVX_INJECT_IOCTL,
         {},
         EINVAL,
         0,
         "nvx_ioctl: unsupported ioctl: 7009\n"},
        {"beyond the table", 0x7010, {}, EINVAL, 0, "nvx_ioctl: unsupported ioctl: 7010\n"},
        {"open without data", NVX_OPEN_IOCTL, {}, EINVAL, 0, nullptr},
        {"open short", NVX_OPEN_IOCTL, rec(open, 1), EINVAL, 0,
         "open_ioctl: invalid data passed in\n"},
        {"open unknown adapter", NVX_OPEN_IOCTL, rec(open), ENODEV, 0,
         "open_ioctl: device not bound, ppaname nosuch0, index 10 addrlen 0 bndcnt 0\n"},
        {"close unopened", NVX_CLOSE_IOCTL, {}, EINVAL, 0, "close_ioctl: not opened, bip "},
        {"create unopened", NVX_CREATE_RX_IOCTL, rec(CreateRxData{0, 4}), EINVAL, 0,
         "create_rx_ioctl: no capture, bip "},
        {"close capture unopened",
         NVX_CLOSE_RX_IOCTL,
         {},
         EINVAL,
         0,
         "close_rx_ioctl: no open capture, bip "},
        {"ignore without data",
         NVX_IGNORE_IOCTL,
         {},
         EINVAL,
         0,
         "ignore_ioctl: no data passed in, q "},
        {"ignore short", NVX_IGNORE_IOCTL, rec(ign, 1), EINVAL, 0,
         "ignore_ioctl: invalid data passed in, q "},
        {"ignore", NVX_IGNORE_IOCTL, rec(ign), 0, 0, nullptr},
        {"bypass without data",
         NVX_BYPASS_IOCTL,
         {},
         EINVAL,
         0,
         "bypass_ioctl: no data passed in, q "},
        {"bypass short", NVX_BYPASS_IOCTL, rec(byp, 1), EINVAL, 0,
         "bypass_ioctl: invalid data passed in, q "},
        {"bypass", NVX_BYPASS_IOCTL, rec(byp), 0, 0, "Setting a bypass for c6120102\n"},
        {"config without data",
         NVX_CONFIG_IOCTL,
         {},
         EINVAL,
         0,
         "config_ioctl: no data passed in, q "},
        {"config short", NVX_CONFIG_IOCTL, rec(cfgTimeout, 1), EINVAL, 0,
         "config_ioctl: invalid data passed in, q "},
        {"config subtype 99", NVX_CONFIG_IOCTL, rec(cfgUnknownSub), 0, 0, nullptr},
        {"config type 4", NVX_CONFIG_IOCTL, rec(cfgBadType), EINVAL, 0,
         "config_ioctl: invalid type 4\n"},
        {"config timeout", NVX_CONFIG_IOCTL, rec(cfgTimeout), 0, 0, nullptr},
        {"config threshold", NVX_CONFIG_IOCTL, rec(cfgThreshold), 0, 0, nullptr},
        {"config stats", NVX_CONFIG_IOCTL, rec(cfgStats), 0, 0, "Capture Statistics:\n"},
        {"filter without data", NVX_ADD_FILTER_IOCTL, {}, EINVAL, 0, nullptr},
        {"filter short", NVX_ADD_FILTER_IOCTL, rec(filter, 1), EINVAL, 0,
         "add_filter_ioctl:  invalid data passed in, q "},
        {"filter", NVX_ADD_FILTER_IOCTL, rec(filter), 0, 0, nullptr},
        {"filter repeated", NVX_ADD_FILTER_IOCTL, rec(filter), 0, 0, nullptr},
        {"flush with data", NVX_FLUSH_FILTERS_IOCTL, {9, 9, 9, 9}, 0, 0, nullptr},
    };
    auto f = open_nvx();
    (void)console();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out(1024, 0xee);
        IoctlResult r;
        const int err = f->ioctl_str(c.cmd, INFTIM, c.data.empty() ? nullptr : c.data.data(),
                                     c.data.size(), out.data(), out.size(), &r);
        EXPECT_EQ(err, c.error);
        if (c.error == 0) {
            EXPECT_EQ(r.len, c.replyLength);
        }
        const std::string log = console();
        if (c.line != nullptr) {
            EXPECT_TRUE(contains(log, c.line)) << log;
        }
        if (c.cmd == NVX_INIT_IOCTL) {
            InitData rev;
            std::memcpy(&rev, out.data(), sizeof rev);
            EXPECT_EQ(rev.ulMajorRevision, 2u);
            EXPECT_EQ(rev.ulMinorRevision, 0u);
        }
    }
    EXPECT_EQ(GlobalTimeout, 30u);
    EXPECT_EQ(GlobalThreshold, 70u);
    EXPECT_EQ(BypassIp, peer_ip(2));
    EXPECT_EQ(BypassPersistant, 1u);
    EXPECT_EQ(GetFilterCount(), 0u); // the flush came last
    EXPECT_NE(FloodList, nullptr);
    // A refused open changed nothing but the name and index it looked up.
    EXPECT_EQ(binding_of(*f)->openInfo, nullptr);
}

TEST_F(Ioctls, TraceAndDumpSubtypes)
{
    add_nic("ioa", 1);
    ASSERT_TRUE(plumb("ioa0", "ip"));
    auto f = open_nvx();
    (void)console();
    ASSERT_EQ(config(*f, 1, 'd', 0), 0);
    std::string log = console();
    EXPECT_TRUE(contains(log, "Capture Statistics:\n")) << log;
    EXPECT_TRUE(contains(log, "PPAINFO: 0\n\tbndcnt = 1\n")) << log;
    EXPECT_TRUE(contains(log, "\tdeviceName = ioa0\n")) << log;
    ASSERT_EQ(config(*f, 1, 'q', 0), 0);
    ASSERT_EQ(config(*f, 1, 'e', 1), 0);
    EXPECT_EQ(_dtracing(), 1);
    // An M_FLUSH on a device stream is freed with the unknown-type trace line.
    (void)console();
    EXPECT_EQ(f->flush(FLUSHW), 0);
    EXPECT_TRUE(contains(console(), "nvx_drv_wput: unknown message type "));
    ASSERT_EQ(config(*f, 1, 'e', 0), 0);
    EXPECT_EQ(_dtracing(), 0);
    ASSERT_EQ(config(*f, 1, 'l', 4), 0); // control request traces only
    EXPECT_EQ(_dtracing(), 1);
    (void)console();
    ASSERT_EQ(config(*f, 1, 99, 0), 0);
    log = console();
    EXPECT_TRUE(contains(log, "config_ioctl(")) << log;
    EXPECT_TRUE(contains(log, "nvx_iocack(")) << log;
    EXPECT_FALSE(contains(log, "nvx_wput: q=")) << log; // level 16 is not in the mask
}

TEST_F(Ioctls, TransparentIoctlIsRefusedWhateverItsCommand)
{
    dltrace::load();
    auto f = open_nvx();
    ASSERT_EQ(f->push("dltrace"), 0); // sees the reply on its way up
    dltrace::reset();
    (void)console();
    for (int cmd : {NVX_INIT_IOCTL, NVX_ADAPTER_IOCTL}) {
        mblk_t *mp = allocb(sizeof(struct iocblk), BPRI_MED);
        auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_wptr);
        std::memset(ioc, 0, sizeof *ioc);
        ioc->ioc_cmd = cmd;
        ioc->ioc_count = static_cast<size_t>(static_cast<unsigned>(-1)); // TRANSPARENT
        mp->b_wptr += sizeof *ioc;
        mp->b_datap->db_type = M_IOCTL;
        f->inject_down(mp);
    }
    const std::string log = console();
    EXPECT_TRUE(contains(log, "nvx_ioctl: transparent ioctls not supported!\n")) << log;
    auto ev = dltrace::events();
    int naks = 0;
    for (const auto &e : ev)
        naks += e.up && e.type == M_IOCNAK;
    EXPECT_EQ(naks, 2) << dltrace::describe(ev);
}

TEST_F(Ioctls, ReplyAllocationFailuresAnswerNoMemory)
{
    add_nic("iob", 1);
    ASSERT_TRUE(plumb("iob0", "ip"));
    auto f = open_nvx();
    (void)console();
    platform::faults::Scope scope;
    // The stream head makes the M_IOCTL block; the driver's reply block is the next one.
    platform::faults::fail_nth(platform::faults::Kind::allocb, 2);
    EXPECT_EQ(ioctl(*f, NVX_INIT_IOCTL, nullptr, 0), ENOMEM);
    EXPECT_TRUE(contains(console(), "init_ioctl: Failed to alloc mem for copy req\n"));
    platform::faults::fail_nth(platform::faults::Kind::allocb, 2);
    EXPECT_EQ(ioctl(*f, NVX_ADAPTER_IOCTL, nullptr, 0), ENOMEM);
    EXPECT_TRUE(contains(console(), "adapter_ioctl: Failed to alloc mem for copy req\n"));
    // No memory for the adapter record.
    platform::faults::fail_nth(platform::faults::Kind::kmem_nosleep, 1);
    EXPECT_EQ(open_adapter(*f, "iob0"), ENOMEM);
    EXPECT_TRUE(
        contains(console(), "open_ioctl: Failed to alloc memory for GlobalInfo, ppaname iob0\n"));
    EXPECT_EQ(ppaList[0].gip, nullptr);
    // An ignore entry that cannot be had is not reported as done.
    platform::faults::fail_nth(platform::faults::Kind::kmem_nosleep, 1);
    EXPECT_EQ(ignore(*f, peer_ip(1), 10, 6), ENOMEM);
    EXPECT_EQ(FloodList, nullptr);
    EXPECT_EQ(ignore(*f, peer_ip(1), 10, 6), 0);
    EXPECT_NE(FloodList, nullptr);
    // A full filter set answers the add error.
    for (unsigned i = 0; i < FILTER_MAX_COUNT; i++)
        ASSERT_EQ(add_filter(*f, peer_ip(i), 32, 17, 1), 0) << i;
    EXPECT_EQ(add_filter(*f, peer_ip(100), 32, 17, 1), PACKETERR_FILTER_ADD_ERROR);
    EXPECT_EQ(ioctl(*f, NVX_FLUSH_FILTERS_IOCTL, nullptr, 0), 0);
    EXPECT_EQ(GetFilterCount(), 0u);
}

TEST_F(Ioctls, OpenAndCloseAnAdapter)
{
    add_nic("ioc", 1);
    add_nic("iod", 2);
    ASSERT_TRUE(plumb("ioc0", "ip"));
    ASSERT_TRUE(plumb("iod0", "arp"));
    auto a = open_nvx();
    auto b = open_nvx();
    OpenData req{};
    req.ulOpenMode = MODE_INLINE;
    std::strcpy(req.ppaname, "ioc0");
    req.devinfo.dl_mac_type = 0x77; // not set by the driver: comes back as sent
    std::memset(req.devinfo.brdcstMacAddress, 0x42, 6);
    OpenData reply{};
    IoctlResult r;
    ASSERT_EQ(a->ioctl_str(NVX_OPEN_IOCTL, INFTIM, &req, sizeof req, &reply, sizeof reply, &r), 0);
    EXPECT_EQ(r.len, sizeof(OpenData));
    EXPECT_EQ(reply.devinfo.dl_max_sdu, 1500u);
    EXPECT_EQ(reply.devinfo.dl_addr_length, 6u);
    EXPECT_EQ(std::memcmp(reply.devinfo.aucMacAddress, nic_mac("ioc", 0).data(), 6), 0);
    EXPECT_EQ(reply.devinfo.uMedium, 0u);
    EXPECT_EQ(reply.devinfo.dl_mac_type, 0x77u);
    EXPECT_EQ(reply.devinfo.brdcstMacAddress[5], 0x42);
    EXPECT_EQ(reply.ulOpenMode, static_cast<U32>(MODE_INLINE));
    GlobalInfo *gip = ppaList[0].gip;
    ASSERT_NE(gip, nullptr);
    EXPECT_EQ(gip->ulOpenMode, static_cast<U32>(MODE_INLINE));
    EXPECT_EQ(binding_of(*a)->openInfo, gip);

    (void)console();
    // One stream per adapter.
    EXPECT_EQ(open_adapter(*b, "ioc0"), EEXIST);
    EXPECT_TRUE(contains(console(), "open_ioctl: device already opened, ppaname ioc0 gip "));
    // One adapter per stream: refused before the stream's binding changes.
    EXPECT_EQ(open_adapter(*a, "iod0"), EEXIST);
    EXPECT_STREQ(binding_of(*a)->ppaname, "ioc0");
    EXPECT_EQ(binding_of(*a)->index, 0u);
    EXPECT_EQ(binding_of(*a)->openInfo, gip);
    EXPECT_EQ(ppaList[1].gip, nullptr);
    // The second stream opens the other adapter.
    EXPECT_EQ(open_adapter(*b, "iod0"), 0);

    EXPECT_EQ(ioctl(*a, NVX_CLOSE_IOCTL, nullptr, 0), 0);
    EXPECT_EQ(ppaList[0].gip, nullptr);
    EXPECT_EQ(binding_of(*a)->openInfo, nullptr);
    EXPECT_EQ(ioctl(*a, NVX_CLOSE_IOCTL, nullptr, 0), EINVAL);
    EXPECT_EQ(open_adapter(*a, "ioc0"), 0); // open again after the close
    a.reset();                              // closing the stream closes the adapter
    EXPECT_EQ(ppaList[0].gip, nullptr);
    EXPECT_NE(ppaList[1].gip, nullptr);
}

TEST_F(Ioctls, NameFillingItsFieldWithoutNulIsRefusedNotCut)
{
    add_nic("ioeabcdefghi", 2, 11); // "ioeabcdefghi10" (14) and names that fit
    ASSERT_TRUE(plumb("ioeabcdefghi1", "ip"));
    auto f = open_nvx();
    OpenData req{};
    std::memcpy(req.ppaname, "ioeabcdefghi1XYZ", 16); // 16 bytes, no NUL; its 13-byte prefix
    (void)console();                                  // names a real adapter
    IoctlResult r;
    EXPECT_EQ(f->ioctl_str(NVX_OPEN_IOCTL, INFTIM, &req, sizeof req, nullptr, 0, &r), EINVAL);
    EXPECT_TRUE(contains(console(), "open_ioctl: invalid data passed in\n"));
    EXPECT_STREQ(binding_of(*f)->ppaname, NVX_UNKNOWN_PPA);
    EXPECT_EQ(binding_of(*f)->index, static_cast<U32>(MAX_PPA));
    EXPECT_EQ(ppaList[0].gip, nullptr);
    EXPECT_EQ(open_adapter(*f, "ioeabcdefghi1"), 0);
}

TEST_F(Ioctls, StreamLeftWithTheAdaptersIndexIsNeverAttached)
{
    add_nic("iof", 1);
    auto *ip = plumb("iof0", "ip");
    ASSERT_TRUE(ip);
    unplumb(ip); // registered, no stream bound
    auto stale = open_nvx();
    (void)console();
    EXPECT_EQ(open_adapter(*stale, "iof0"), ENODEV);
    EXPECT_TRUE(contains(
        console(), "open_ioctl: device not bound, ppaname iof0, index 0 addrlen 6 bndcnt 0\n"));
    EXPECT_EQ(binding_of(*stale)->index, 0u); // kept, as the request leaves it

    ASSERT_TRUE(plumb("iof0", "ip"));
    auto owner = open_nvx();
    auto region = start_capture(*owner, "iof0", CM_PROMISCUOUS);
    ASSERT_TRUE(region);
    // The stale stream cannot reach the other sensor's capture.
    EXPECT_EQ(binding_of(*stale)->openInfo, nullptr);
    EXPECT_EQ(create_rx(*stale, 0, CM_PROMISCUOUS), EINVAL);
    EXPECT_EQ(ioctl(*stale, NVX_CLOSE_RX_IOCTL, nullptr, 0), EINVAL);
    EXPECT_EQ(ioctl(*stale, NVX_CLOSE_IOCTL, nullptr, 0), EINVAL);
    Mapping m;
    EXPECT_EQ(stale->mmap(0, 8192, &m), ENXIO);
    stale.reset();
    // The owner's capture is untouched.
    receive("iof0", udp_in(nic_mac("iof", 0)));
    EXPECT_EQ(read_frames(*owner, *region).size(), 1u);
    region.reset();
}

TEST_F(Ioctls, AttachIsRecheckedSoRacingOpensHaveOneWinner)
{
    add_nic("iog", 1);
    ASSERT_TRUE(plumb("iog0", "ip"));
    // The re-check itself: a second record for a slot that already has one is refused.
    auto a = open_nvx();
    auto b = open_nvx();
    ASSERT_EQ(open_adapter(*a, "iog0"), 0);
    GlobalInfo *other = static_cast<GlobalInfo *>(kmem_zalloc(sizeof(GlobalInfo), KM_SLEEP));
    other->index = 0;
    EXPECT_EQ(set_binding(other, 1, binding_of(*b)), EEXIST);
    EXPECT_EQ(binding_of(*b)->openInfo, nullptr);
    EXPECT_NE(ppaList[0].gip, other);
    kmem_free(other, sizeof(GlobalInfo));
    ASSERT_EQ(ioctl(*a, NVX_CLOSE_IOCTL, nullptr, 0), 0);

    // Two streams racing: exactly one wins each round, the loser's record is freed (the leak
    // check would see it).
    for (int round = 0; round < 50; round++) {
        int ra = -1, rb = -1;
        std::thread ta([&] { ra = open_adapter(*a, "iog0"); });
        std::thread tb([&] { rb = open_adapter(*b, "iog0"); });
        ta.join();
        tb.join();
        ASSERT_TRUE((ra == 0 && rb == EEXIST) || (ra == EEXIST && rb == 0)) << ra << " " << rb;
        StreamFile &winner = ra == 0 ? *a : *b;
        StreamFile &loser = ra == 0 ? *b : *a;
        EXPECT_EQ(binding_of(loser)->openInfo, nullptr);
        ASSERT_EQ(ioctl(winner, NVX_CLOSE_IOCTL, nullptr, 0), 0);
    }
}
