// The driver's records: the binding list, the adapter table (registration from DL_INFO_ACK and
// lookup by name) and the frame geometry of inbound and outbound blocks.
#include "module_stack.h"

#include "nvxbind.h"

#include "console_log.h"
#include "debug.h"

#include <sys/dlpi.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace
{

using nvxtest::ModuleStack;
using Mac = std::array<uint8_t, 6>;

// A DL_INFO_ACK with the stream's DLSAP address (physical address and SAP) behind the record.
struct InfoAck {
    uint32_t style = DL_STYLE1;
    Mac mac{0x08, 0x00, 0x20, 0x01, 0x02, 0x03};
    int32_t sap_length = -2;  // SAP follows the physical address
    uint32_t addr_length = 8; // physical 6 + SAP 2
    uint32_t addr_offset = sizeof(dl_info_ack_t);
    size_t block = sizeof(dl_info_ack_t) + 8; // bytes in the block

    mblk_t *message() const
    {
        mblk_t *mp = allocb(block + 64, BPRI_HI);
        if (mp == nullptr)
            return nullptr;
        mp->b_datap->db_type = M_PCPROTO;
        std::memset(mp->b_rptr, 0, block);
        dl_info_ack_t a{};
        a.dl_primitive = DL_INFO_ACK;
        a.dl_max_sdu = 1500;
        a.dl_min_sdu = 1;
        a.dl_addr_length = addr_length;
        a.dl_mac_type = DL_ETHER;
        a.dl_sap_length = sap_length;
        a.dl_service_mode = DL_CLDLS;
        a.dl_provider_style = style;
        a.dl_addr_offset = addr_offset;
        a.dl_version = DL_VERSION_2;
        a.dl_brdcst_addr_length = 6;
        std::memcpy(mp->b_rptr, &a, sizeof(a));
        // The physical address lies after the SAP when the SAP length is positive.
        const size_t at = addr_offset + (sap_length > 0 ? static_cast<size_t>(sap_length) : 0);
        if (at + 6 <= block)
            std::memcpy(mp->b_rptr + at, mac.data(), 6);
        mp->b_wptr = mp->b_rptr + block;
        return mp;
    }
};

BindingInfo new_binding(uint32_t dl_ppa = 0)
{
    BindingInfo b{};
    std::strcpy(b.ppaname, NVX_UNKNOWN_PPA);
    b.index = MAX_PPA;
    b.dl_ppa = dl_ppa;
    return b;
}

U32 register_with(ModuleStack &stack, BindingInfo *bip, const InfoAck &ack)
{
    mblk_t *mp = ack.message();
    if (mp == nullptr)
        return 0xdead;
    const U32 index = add_ppa(stack.rq(), bip, mp);
    freemsg(mp);
    return index;
}

int used_slots()
{
    int n = 0;
    for (const nvx_ppaInfo &slot : ppaList)
        if (std::strcmp(slot.info.devicename, NVX_UNKNOWN_PPA) != 0)
            n++;
    return n;
}

class AdapterTable : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        nvx_init_ppa_table();
        BindingList = CurrentBinding = nullptr;
        _debug(0);
        _dsetlevel(0, 1);
        platform::console::take();
    }
    void TearDown() override
    {
        nvx_init_ppa_table();
        _debug(0);
        _dsetlevel(0, 1);
    }
};

TEST_F(AdapterTable, StyleOneInterfaceBoundTwiceKeepsOneSlot)
{
    ModuleStack ipStream("le"), arpStream("le");
    BindingInfo ip = new_binding(), arp = new_binding();
    InfoAck ack;
    EXPECT_EQ(register_with(ipStream, &ip, ack), 0u);
    EXPECT_EQ(register_with(arpStream, &arp, ack), 0u) << "found again by address and driver name";
    EXPECT_STREQ(ip.ppaname, "le0");
    EXPECT_STREQ(arp.ppaname, "le0");
    EXPECT_EQ(used_slots(), 1);

    const ppaInfo &slot = ppaList[0].info;
    EXPECT_EQ(slot.dl_max_sdu, 1500u);
    EXPECT_EQ(slot.dl_mac_type, static_cast<U32>(DL_ETHER));
    EXPECT_EQ(slot.dl_provider_style, static_cast<U32>(DL_STYLE1));
    EXPECT_EQ(slot.dl_addr_length, 6u) << "DLSAP length minus the SAP length";
    EXPECT_EQ(slot.dl_brdcst_addr_length, 6u);
    EXPECT_EQ(slot.uMedium, 0u);
    EXPECT_EQ(std::memcmp(slot.aucMacAddress, ack.mac.data(), 6), 0);
    EXPECT_EQ(ppaList[0].bndcnt, 0u) << "the binding count belongs to the callers";

    // Another address on the same driver, and the same address on another driver, are other
    // adapters; style-1 adapters are named after their slot.
    ModuleStack other("le"), qe("qe");
    BindingInfo b2 = new_binding(), b3 = new_binding(7);
    InfoAck ack2;
    ack2.mac[5] = 0x99;
    EXPECT_EQ(register_with(other, &b2, ack2), 1u);
    EXPECT_STREQ(b2.ppaname, "le1");
    EXPECT_EQ(register_with(qe, &b3, ack), 2u);
    EXPECT_STREQ(b3.ppaname, "qe2") << "named after slot 2, not its ppa 7";
}

TEST_F(AdapterTable, StyleTwoInterfacesAreNamedAfterTheirPpa)
{
    ModuleStack s0("hme"), s1("hme"), s0again("hme"), eri("eri");
    BindingInfo b0 = new_binding(0), b1 = new_binding(1), b0again = new_binding(0);
    InfoAck ack;
    ack.style = DL_STYLE2;
    EXPECT_EQ(register_with(s0, &b0, ack), 0u);
    InfoAck ack1 = ack;
    ack1.mac[5] = 0x04;
    EXPECT_EQ(register_with(s1, &b1, ack1), 1u);
    EXPECT_STREQ(b0.ppaname, "hme0");
    EXPECT_STREQ(b1.ppaname, "hme1");
    EXPECT_STREQ(ppaList[1].info.devicename, "hme1");
    EXPECT_EQ(register_with(s0again, &b0again, ack), 0u) << "found again by name";
    EXPECT_STREQ(b0again.ppaname, "hme0");

    // A third slot, then a style-1 interface lands in slot 3 and is named with suffix 3.
    ModuleStack s5("hme");
    BindingInfo b5 = new_binding(5);
    InfoAck ack5 = ack;
    ack5.mac[5] = 0x05;
    EXPECT_EQ(register_with(s5, &b5, ack5), 2u);
    BindingInfo e = new_binding(9);
    InfoAck eack;
    eack.mac[5] = 0x42;
    EXPECT_EQ(register_with(eri, &e, eack), 3u);
    EXPECT_STREQ(e.ppaname, "eri3");
    EXPECT_EQ(used_slots(), 4);
}

TEST_F(AdapterTable, EleventhInterfaceIsRefusedSilently)
{
    ModuleStack stack("le");
    for (int i = 0; i < MAX_PPA; i++) {
        BindingInfo b = new_binding();
        InfoAck ack;
        ack.mac[5] = static_cast<uint8_t>(i);
        ASSERT_EQ(register_with(stack, &b, ack), static_cast<U32>(i));
    }
    platform::console::take();
    BindingInfo eleventh = new_binding();
    InfoAck ack;
    ack.mac[5] = 0xee;
    EXPECT_EQ(register_with(stack, &eleventh, ack), static_cast<U32>(MAX_PPA));
    EXPECT_STREQ(eleventh.ppaname, NVX_UNKNOWN_PPA);
    EXPECT_EQ(platform::console::take(), "");

    // Style 2 with a full table: refused as well; the binding carries the name it asked for.
    ModuleStack hme("hme");
    BindingInfo style2 = new_binding(3);
    InfoAck ack2;
    ack2.style = DL_STYLE2;
    EXPECT_EQ(register_with(hme, &style2, ack2), static_cast<U32>(MAX_PPA));
    EXPECT_STREQ(style2.ppaname, "hme3");
    EXPECT_EQ(used_slots(), MAX_PPA);
}

struct UnsupportedCase {
    const char *name;
    InfoAck ack;
    const char *line;
};

InfoAck ack_with(void (*change)(InfoAck &))
{
    InfoAck a;
    change(a);
    return a;
}

TEST_F(AdapterTable, UnusableAcknowledgementsAreReportedAndRegisterNothing)
{
    const UnsupportedCase cases[] = {
        {"physical address of 8 bytes", ack_with([](InfoAck &a) {
             a.addr_length = 10;
             a.block += 2;
         }),
         "add_ppa: unsupported nic driver: name le dl_style 500 dl_addr_length 8\n"},
        {"negative physical address length", ack_with([](InfoAck &a) { a.addr_length = 1; }),
         "add_ppa: unsupported nic driver: name le dl_style 500 dl_addr_length -1\n"},
        {"address beyond the block",
         ack_with([](InfoAck &a) { a.block = sizeof(dl_info_ack_t) + 5; }),
         "add_ppa: unsupported nic driver: name le dl_style 500 dl_addr_length 6\n"},
        {"address offset that wraps", ack_with([](InfoAck &a) { a.addr_offset = 0xfffffffc; }),
         "add_ppa: unsupported nic driver: name le dl_style 500 dl_addr_length 6\n"},
        {"SAP before the address, address cut off", ack_with([](InfoAck &a) {
             a.sap_length = 2;
             a.block = sizeof(dl_info_ack_t) + 7;
         }),
         "add_ppa: unsupported nic driver: name le dl_style 500 dl_addr_length 6\n"},
    };
    for (const UnsupportedCase &c : cases) {
        SCOPED_TRACE(c.name);
        ModuleStack stack("le");
        BindingInfo b = new_binding();
        platform::console::take();
        EXPECT_EQ(register_with(stack, &b, c.ack), static_cast<U32>(MAX_PPA));
        EXPECT_EQ(platform::console::take(), c.line);
        EXPECT_EQ(used_slots(), 0);
        EXPECT_STREQ(b.ppaname, NVX_UNKNOWN_PPA);
    }

    // A block shorter than DL_INFO_ACK is never read.
    ModuleStack stack("le");
    BindingInfo b = new_binding();
    mblk_t *mp = InfoAck{}.message();
    ASSERT_NE(mp, nullptr);
    mp->b_wptr = mp->b_rptr + sizeof(dl_info_ack_t) - 1;
    EXPECT_EQ(add_ppa(stack.rq(), &b, mp), static_cast<U32>(MAX_PPA));
    freemsg(mp);
}

TEST_F(AdapterTable, SapBeforeTheAddressIsSkipped)
{
    ModuleStack stack("fddi");
    BindingInfo b = new_binding();
    InfoAck ack;
    ack.sap_length = 2;
    EXPECT_EQ(register_with(stack, &b, ack), 0u);
    EXPECT_EQ(std::memcmp(ppaList[0].info.aucMacAddress, ack.mac.data(), 6), 0);
}

TEST_F(AdapterTable, RegistrationAndLookupTraces)
{
    ModuleStack stack("le");
    BindingInfo b = new_binding();
    _debug(1);
    _dsetlevel(1 | 16, 2);
    EXPECT_EQ(register_with(stack, &b, InfoAck{}), 0u);
    EXPECT_EQ(platform::console::take(),
              "NVX: Configuring: Addr: 8:0:20:1:2:3 , name le0 style 0x500\n");

    BindingInfo opener = new_binding();
    std::strcpy(opener.ppaname, "le0");
    EXPECT_EQ(find_ppa(&opener), 0u);
    EXPECT_EQ(platform::console::take(),
              "find_ppa: searching for le0\nfind_ppa: found le0 at index 0\n");
    std::strcpy(opener.ppaname, "le1");
    EXPECT_EQ(find_ppa(&opener), static_cast<U32>(MAX_PPA));
    EXPECT_EQ(platform::console::take(),
              "find_ppa: searching for le1\nfind_ppa: could not find le1\n");
    std::strcpy(opener.ppaname, NVX_UNKNOWN_PPA);
    EXPECT_EQ(find_ppa(&opener), static_cast<U32>(MAX_PPA)) << "a free slot is never an adapter";
}

class BindingListTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        BindingList = CurrentBinding = nullptr;
        platform::console::take();
    }
    void TearDown() override { BindingList = CurrentBinding = nullptr; }

    static std::vector<BindingInfo *> walk()
    {
        std::vector<BindingInfo *> v;
        for (BindingInfo *b = BindingList; b != nullptr; b = b->next) {
            EXPECT_EQ(b->prev, v.empty() ? nullptr : v.back()) << "prev links back";
            v.push_back(b);
        }
        EXPECT_EQ(CurrentBinding, v.empty() ? nullptr : v.back()) << "tail is the last";
        return v;
    }
};

TEST_F(BindingListTest, InsertionOrderAndUnlinkFromAnyPlace)
{
    BindingInfo a = new_binding(), b = new_binding(), c = new_binding(), d = new_binding();
    add_binding(&a);
    add_binding(&b);
    add_binding(&c);
    add_binding(&d);
    EXPECT_EQ(walk(), (std::vector<BindingInfo *>{&a, &b, &c, &d}));
    remove_binding(&b); // middle
    EXPECT_EQ(walk(), (std::vector<BindingInfo *>{&a, &c, &d}));
    remove_binding(&a); // head
    EXPECT_EQ(walk(), (std::vector<BindingInfo *>{&c, &d}));
    remove_binding(&d); // tail
    EXPECT_EQ(walk(), (std::vector<BindingInfo *>{&c}));
    remove_binding(&c);
    EXPECT_EQ(walk(), (std::vector<BindingInfo *>{}));
    add_binding(&b); // an emptied list takes a new head
    EXPECT_EQ(walk(), (std::vector<BindingInfo *>{&b}));
    remove_binding(&b);
    EXPECT_EQ(platform::console::take(), "");
}

TEST_F(BindingListTest, RemovingABindingNotOnTheListOnlyWarns)
{
    BindingInfo on = new_binding(), off = new_binding();
    off.dip = reinterpret_cast<dev_info_t *>(0x1234);
    add_binding(&on);
    remove_binding(&off);
    char line[128];
    std::snprintf(line, sizeof(line), "Warning: Binding %lx dip %lx not on list!\n",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(&off)), 0x1234ul);
    EXPECT_EQ(platform::console::take(), line);
    EXPECT_EQ(walk(), (std::vector<BindingInfo *>{&on}));
    remove_binding(&on);
}

// An inbound block with `front` bytes between its buffer start and read pointer, and the
// 16-bit value `at10` 10 bytes before the read pointer.
mblk_t *inbound_block(size_t front, unsigned at10, size_t data = 40)
{
    mblk_t *mp = allocb(front + data, BPRI_MED);
    if (mp == nullptr)
        return nullptr;
    std::memset(mp->b_datap->db_base, 0x11, front + data);
    mp->b_rptr = mp->b_datap->db_base + front;
    mp->b_wptr = mp->b_rptr + data;
    if (front >= 10) {
        mp->b_rptr[-10] = static_cast<unsigned char>(at10 >> 8);
        mp->b_rptr[-9] = static_cast<unsigned char>(at10);
    }
    return mp;
}

TEST(FrameGeometry, LinkHeaderLengthInFrontOfTheReadPointer)
{
    struct Case {
        size_t front;
        unsigned at10;
        int expected;
    } cases[] = {
        {0, 0, 0},      {13, 0, 0},     {14, 0, 14},      {20, 0, 14},      {21, 0x0040, 14},
        {22, 1500, 22}, {22, 1501, 14}, {30, 0x0800, 14}, {30, 0x0040, 22}, {64, 0x86dd, 14},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.front << " bytes in front, " << std::hex << c.at10);
        mblk_t *mp = inbound_block(c.front, c.at10);
        ASSERT_NE(mp, nullptr);
        EXPECT_EQ(HeaderLen(mp), c.expected);
        EXPECT_EQ(get_dest_mac(mp, DIR_INBOUND), mp->b_rptr - c.expected);
        EXPECT_EQ(get_dest_mac(mp, DIR_OUTBOUND), mp->b_rptr);
        freemsg(mp);
    }
}

TEST(FrameGeometry, BroadcastAndOwnAddressTests)
{
    const BYTE own[6] = {0x08, 0x00, 0x20, 0x01, 0x02, 0x03};
    // Inbound: the address is the start of the 14-byte header in front of the read pointer.
    mblk_t *in = inbound_block(14, 0);
    ASSERT_NE(in, nullptr);
    std::memset(in->b_datap->db_base, 0xff, 6);
    EXPECT_EQ(is_broadcast(in, DIR_INBOUND), 1);
    EXPECT_EQ(is_broadcast(in, DIR_OUTBOUND), 0) << "outbound reads at the read pointer";
    std::memcpy(in->b_datap->db_base, own, 6);
    EXPECT_EQ(is_broadcast(in, DIR_INBOUND), 0);
    EXPECT_EQ(is_matching(in, own, DIR_INBOUND), 1);
    in->b_datap->db_base[5] ^= 1;
    EXPECT_EQ(is_matching(in, own, DIR_INBOUND), 0);
    freemsg(in);

    // Outbound: at the read pointer.
    mblk_t *out = inbound_block(0, 0, 60);
    ASSERT_NE(out, nullptr);
    std::memset(out->b_rptr, 0xff, 6);
    EXPECT_EQ(is_broadcast(out, DIR_OUTBOUND), 1);
    std::memcpy(out->b_rptr, own, 6);
    EXPECT_EQ(is_matching(out, own, DIR_OUTBOUND), 1);

    // Fewer than six bytes where the address would be: no match, nothing read past them.
    out->b_wptr = out->b_rptr + 5;
    EXPECT_EQ(is_matching(out, own, DIR_OUTBOUND), 0);
    std::memset(out->b_rptr, 0xff, 5);
    EXPECT_EQ(is_broadcast(out, DIR_OUTBOUND), 0);
    // Inbound with no link header in front: the read pointer itself, also too short.
    EXPECT_EQ(is_broadcast(out, DIR_INBOUND), 0);
    freemsg(out);
}

} // namespace
