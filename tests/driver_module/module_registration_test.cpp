// Registration of interfaces as the protocol stack plumbs them: nvx autopushed on style-1 and
// style-2 NIC drivers, "ip" and "arp" plumbed through stream heads; and the DLPI messages the
// module instance acts on, injected into a stream on which the stream head is the upper side.
#include "module_fixture.h"

#include "stack/upper_module.h"

#include <sys/dlpi.h>

#include <cstring>

using namespace modtest;
using namespace platform::streams;

namespace
{

int module_bindings_on_list()
{
    int n = 0;
    rw_enter(&nvx_bindlock, RW_READER);
    for (BindingInfo *b = BindingList; b != nullptr; b = b->next)
        n += b->dip == nullptr;
    rw_exit(&nvx_bindlock);
    return n;
}

AdapterData adapter_list(ModuleTest &, StreamFile &f)
{
    AdapterData list;
    std::memset(&list, 0xee, sizeof list);
    IoctlResult r;
    EXPECT_EQ(f.ioctl_str(NVX_ADAPTER_IOCTL, INFTIM, nullptr, 0, &list, sizeof list, &r), 0);
    EXPECT_EQ(r.len, sizeof(AdapterData));
    return list;
}

mblk_t *proto_block(const void *rec, size_t len, unsigned char type = M_PCPROTO)
{
    mblk_t *mp = allocb(len, BPRI_HI);
    std::memcpy(mp->b_wptr, rec, len);
    mp->b_wptr += len;
    mp->b_datap->db_type = type;
    return mp;
}

// The first message waiting at the stream head (control part), or empty.
std::vector<uint8_t> take_up(StreamFile &f)
{
    std::vector<uint8_t> ctl(512), data(2048);
    strbuf c{static_cast<int>(ctl.size()), 0, reinterpret_cast<char *>(ctl.data())};
    strbuf d{static_cast<int>(data.size()), 0, reinterpret_cast<char *>(data.data())};
    int flags = 0, more = 0;
    if (f.getmsg(&c, &d, &flags, &more, 0) != 0)
        return {};
    ctl.resize(c.len > 0 ? static_cast<size_t>(c.len) : 0);
    return ctl;
}

} // namespace

class Registration : public ModuleTest
{
};

TEST_F(Registration, StyleOneAndTwoInterfacesTakeOneSlotEachCountingTheirBinds)
{
    add_nic("rga", 1);
    add_nic("rgb", 2, 2);
    auto *ip_a = plumb("rga0", "ip");
    auto *arp_a = plumb("rga0", "arp");
    auto *ip_b1 = plumb("rgb1", "ip");
    auto *arp_b0 = plumb("rgb0", "arp");
    ASSERT_TRUE(ip_a && arp_a && ip_b1 && arp_b0);

    // Slot 0: style 1, named after its slot, found again by address for the second bind.
    EXPECT_STREQ(ppaList[0].info.devicename, "rga0");
    EXPECT_EQ(ppaList[0].bndcnt, 2u);
    EXPECT_EQ(ppaList[0].info.dl_provider_style, static_cast<U32>(DL_STYLE1));
    EXPECT_EQ(ppaList[0].info.dl_addr_length, 6u);
    EXPECT_EQ(std::memcmp(ppaList[0].info.aucMacAddress, nic_mac("rga", 0).data(), 6), 0);
    // Style 2: named after the DLPI ppa, whatever the slot.
    EXPECT_STREQ(ppaList[1].info.devicename, "rgb1");
    EXPECT_STREQ(ppaList[2].info.devicename, "rgb0");
    EXPECT_EQ(ppaList[1].bndcnt, 1u);
    EXPECT_EQ(ppaList[2].bndcnt, 1u);
    EXPECT_STREQ(ppaList[3].info.devicename, NVX_UNKNOWN_PPA);
    EXPECT_EQ(module_bindings_on_list(), 4);

    // The module's own DL_INFO_ACK never reached ip or arp: each completed its dialogue and
    // nothing unexpected went on to its stream head.
    for (auto *p : {ip_a, arp_a, ip_b1, arp_b0})
        EXPECT_EQ(p->file().messages_received(), 0u) << p->ifname();

    auto f = open_nvx();
    AdapterData list = adapter_list(*this, *f);
    ASSERT_EQ(list.devnum, 3);
    EXPECT_STREQ(list.devinfo[0].devicename, "rga0");
    EXPECT_STREQ(list.devinfo[1].devicename, "rgb1");
    EXPECT_STREQ(list.devinfo[2].devicename, "rgb0");
    EXPECT_EQ(list.devinfo[0].dl_max_sdu, 1500u);
    // Behind the last entry the reply is zero, not stale memory.
    const auto *tail = reinterpret_cast<const unsigned char *>(&list.devinfo[3]);
    for (size_t i = 0; i < sizeof(ppaInfo) * 7; i++)
        ASSERT_EQ(tail[i], 0) << i;

    // Unplumbing unbinds: the counts drop, the slots stay, an unused adapter is not listed.
    unplumb(arp_a);
    EXPECT_EQ(ppaList[0].bndcnt, 1u);
    unplumb(ip_a);
    EXPECT_EQ(ppaList[0].bndcnt, 0u);
    EXPECT_STREQ(ppaList[0].info.devicename, "rga0");
    list = adapter_list(*this, *f);
    ASSERT_EQ(list.devnum, 2);
    EXPECT_STREQ(list.devinfo[0].devicename, "rgb1");
    EXPECT_EQ(module_bindings_on_list(), 2);
    EXPECT_FALSE(contains(console(), "protocol error"));
}

TEST_F(Registration, UnbindThenBindRebindsWithoutAnotherInformationRequest)
{
    add_nic("rgc", 1);
    auto *ip = plumb("rgc0", "ip");
    ASSERT_TRUE(ip);
    auto f = open_nvx();
    ASSERT_EQ(config(*f, 1, 'l', 4096), 0); // DLPI trace lines on
    (void)console();

    IoctlResult r;
    ASSERT_EQ(
        ip->file().ioctl_str(platform::net::UPPER_IOC_UNPLUMB, INFTIM, nullptr, 0, nullptr, 0, &r),
        0);
    EXPECT_EQ(ppaList[0].bndcnt, 0u);
    EXPECT_EQ(module_bindings_on_list(), 0);
    std::string log = console();
    EXPECT_TRUE(contains(log, "DL_UNBIND_REQ rgc0 q ")) << log;

    platform::net::upper_plumb_req req{};
    req.link = reinterpret_cast<std::uint64_t>(ip->shared_link().get());
    req.ppa = 0;
    req.style = 1;
    ASSERT_EQ(ip->file().ioctl_str(platform::net::UPPER_IOC_PLUMB, INFTIM, &req, sizeof req,
                                   nullptr, 0, &r),
              0);
    EXPECT_EQ(ppaList[0].bndcnt, 1u);
    EXPECT_EQ(module_bindings_on_list(), 1);
    log = console();
    // The bind acknowledgement trace line is printed only when the module asks the interface.
    EXPECT_FALSE(contains(log, "DL_BIND_ACK rgc0")) << log;
    EXPECT_TRUE(contains(log, "BIND_ACK received")) << log;

    // A new stream on the same interface does ask (and finds the slot again).
    ASSERT_TRUE(plumb("rgc0", "arp"));
    log = console();
    EXPECT_TRUE(contains(log, "DL_BIND_ACK rgc0 q ")) << log;
    EXPECT_EQ(ppaList[0].bndcnt, 2u);
}

TEST_F(Registration, AnEleventhInterfaceIsNotRegisteredAndStaysUnbound)
{
    add_nic("rgd", 2, 11);
    for (unsigned i = 0; i < 11; i++)
        ASSERT_TRUE(plumb("rgd" + std::to_string(i), "ip")) << i;
    for (int i = 0; i < MAX_PPA; i++) {
        EXPECT_EQ(std::string(ppaList[i].info.devicename), "rgd" + std::to_string(i));
        EXPECT_EQ(ppaList[i].bndcnt, 1u);
    }
    EXPECT_EQ(module_bindings_on_list(), 10);
    auto f = open_nvx();
    EXPECT_EQ(adapter_list(*this, *f).devnum, 10);
    EXPECT_EQ(open_adapter(*f, "rgd10"), ENODEV);
    EXPECT_TRUE(contains(
        console(), "open_ioctl: device not bound, ppaname rgd10, index 10 addrlen 0 bndcnt 0\n"));
}

TEST_F(Registration, DlpiMessagesSeenByAnInstanceWithoutIpAbove)
{
    add_nic("rge", 1);
    FilePtr raw;
    ASSERT_EQ(open("/dev/rge0", FREAD | FWRITE, kSensor, &raw), 0); // nvx autopushed, no ip
    (void)console();

    dl_info_ack_t info{};
    info.dl_primitive = DL_INFO_ACK;
    info.dl_max_sdu = 1500;
    info.dl_provider_style = DL_STYLE1;
    // Nobody in this instance asked: somebody else's acknowledgement passes up unchanged.
    raw->inject_up(proto_block(&info, sizeof info));
    auto got = take_up(*raw);
    ASSERT_EQ(got.size(), sizeof info);
    EXPECT_EQ(std::memcmp(got.data(), &info, sizeof info), 0);
    // Shorter than a DL_INFO_ACK: freed with the protocol error.
    raw->inject_up(proto_block(&info, sizeof info - 1));
    EXPECT_TRUE(take_up(*raw).empty());
    EXPECT_TRUE(contains(console(), "nvx_info_ack: DL_INFO_ACK protocol error\n"));

    dl_bind_ack_t bind{};
    bind.dl_primitive = DL_BIND_ACK;
    bind.dl_sap = 0x800;
    // 23 bytes: freed with the protocol error.
    raw->inject_up(proto_block(&bind, sizeof bind - 1));
    EXPECT_TRUE(take_up(*raw).empty());
    EXPECT_TRUE(contains(console(), "nvx_bind_ack: DL_BIND_ACK protocol error\n"));
    // A client other than ip or arp: passed up, no information request, nothing registered.
    raw->inject_up(proto_block(&bind, sizeof bind));
    EXPECT_EQ(take_up(*raw).size(), sizeof bind);
    EXPECT_TRUE(take_up(*raw).empty());
    EXPECT_STREQ(ppaList[0].info.devicename, NVX_UNKNOWN_PPA);

    // DL_UNITDATA_IND: without continuation freed; with a non-data continuation passed on.
    dl_unitdata_ind_t ind{};
    ind.dl_primitive = DL_UNITDATA_IND;
    raw->inject_up(proto_block(&ind, sizeof ind, M_PROTO));
    EXPECT_TRUE(take_up(*raw).empty());
    EXPECT_TRUE(contains(console(), "nvx_unitdata_ind: DL_UNITDATA_IND protocol error\n"));
    mblk_t *mp = proto_block(&ind, sizeof ind, M_PROTO);
    mp->b_cont = proto_block(&ind, 4, M_PROTO);
    raw->inject_up(mp);
    EXPECT_EQ(take_up(*raw).size(), sizeof ind + 4);
    EXPECT_TRUE(contains(
        console(), "nvx_unitdata_ind: M_PROTO request was not followed up with M_DATA packet\n"));

    // A protocol block too short to hold a primitive passes up untouched.
    raw->inject_up(proto_block("ab", 2));
    EXPECT_EQ(take_up(*raw).size(), 2u);

    // Downwards: a DL_ATTACH_REQ without its ppa never reaches the driver (which would answer
    // it).
    const U32 attach = DL_ATTACH_REQ;
    raw->inject_down(proto_block(&attach, sizeof attach, M_PROTO));
    EXPECT_TRUE(contains(console(), "nvx_attach_req: DL_ATTACH_REQ protocol error\n"));
    EXPECT_TRUE(take_up(*raw).empty());
    raw.reset();
}
