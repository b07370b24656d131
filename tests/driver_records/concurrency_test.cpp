// The binding list and the adapter table under concurrent use: module instances binding and
// unbinding on several threads while the adapter table is searched and the state dumps walk
// both. Bounded in count; ThreadSanitizer judges the locking.
#include "module_stack.h"

#include "nvxbind.h"
#include "nvxdump.h"

#include "console_log.h"
#include "debug.h"

#include <sys/dlpi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace
{

mblk_t *info_ack(uint8_t lastMacByte)
{
    mblk_t *mp = allocb(sizeof(dl_info_ack_t) + 8, BPRI_HI);
    if (mp == nullptr)
        return nullptr;
    mp->b_datap->db_type = M_PCPROTO;
    dl_info_ack_t a{};
    a.dl_primitive = DL_INFO_ACK;
    a.dl_max_sdu = 1500;
    a.dl_addr_length = 8;
    a.dl_mac_type = DL_ETHER;
    a.dl_sap_length = -2;
    a.dl_provider_style = DL_STYLE1;
    a.dl_addr_offset = sizeof(a);
    a.dl_brdcst_addr_length = 6;
    std::memcpy(mp->b_wptr, &a, sizeof(a));
    mp->b_wptr += sizeof(a);
    const uint8_t addr[8] = {0x08, 0, 0x20, 0, 0, lastMacByte, 0x08, 0x00};
    std::memcpy(mp->b_wptr, addr, sizeof(addr));
    mp->b_wptr += sizeof(addr);
    return mp;
}

TEST(DriverRecordsConcurrency, BindingsAndAdaptersChangeWhileDumpsWalkThem)
{
    nvx_init_ppa_table();
    BindingList = CurrentBinding = nullptr;
    _debug(0);
    constexpr int kThreads = 3;
    constexpr int kRounds = 200;
    std::atomic<bool> done{false};

    std::vector<std::thread> binders;
    for (int t = 0; t < kThreads; t++) {
        binders.emplace_back([t] {
            nvxtest::ModuleStack stack("le");
            for (int r = 0; r < kRounds; r++) {
                BindingInfo b{};
                std::strcpy(b.ppaname, NVX_UNKNOWN_PPA);
                b.index = MAX_PPA;
                mblk_t *mp = info_ack(static_cast<uint8_t>(t * 2 + r % 2));
                ASSERT_NE(mp, nullptr);
                const U32 index = add_ppa(stack.rq(), &b, mp);
                freemsg(mp);
                ASSERT_LT(index, static_cast<U32>(MAX_PPA));
                add_binding(&b);
                ASSERT_EQ(find_ppa(&b), index);
                remove_binding(&b);
            }
        });
    }
    std::thread dumper([&done] {
        for (int r = 0; r < kRounds && !done.load(); r++) {
            print_all_bindings();
            print_all_ppainfo();
            print_all_queues();
            (void)platform::console::take();
        }
    });
    for (std::thread &t : binders)
        t.join();
    done = true;
    dumper.join();
    (void)platform::console::take();

    EXPECT_EQ(BindingList, nullptr);
    EXPECT_EQ(CurrentBinding, nullptr);
    int used = 0;
    for (const nvx_ppaInfo &slot : ppaList)
        used += std::strcmp(slot.info.devicename, NVX_UNKNOWN_PPA) != 0;
    EXPECT_EQ(used, kThreads * 2) << "one slot per distinct address, however the threads raced";
    nvx_init_ppa_table();
}

} // namespace
