// Two NIC receive threads deliver while streams are plumbed, bridged and unplumbed on both
// NICs from two other threads: no frame reaches a closed stream or a closed bridge target,
// nothing leaks (the listener checks every block), and the counts add up.
#include "backends/generator.h"
#include "nic_fixture.h"
#include "stack/plumb.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platform::net;

TEST(NicConcurrency, ReceiveWhilePlumbingBridgingAndUnplumbing)
{
    auto make = [](const char *name, int style, MacAddr mac, uint64_t seed) {
        GeneratorConfig gc;
        gc.seed = seed;
        gc.station_mac = mac;
        gc.pacing.max_milliseconds = 20000; // bounded; stopped earlier by the driver's unload
        gc.pacing.frames_per_second = 50000;
        return nettest::load_nic(name, style, make_generator_backend(gc), mac);
    };
    auto d1 = make("tstca", 1, {2, 0, 0, 0, 0xc, 1}, 1);
    auto d2 = make("tstcb", 2, {2, 0, 0, 0, 0xc, 2}, 2);
    ASSERT_TRUE(d1 && d2);
    std::atomic<uint64_t> taken{0}, bridged{0};
    auto churn = [&](const std::string &own, const std::string &other) {
        for (int i = 0; i < 40; i++) {
            std::unique_ptr<PlumbedInterface> ip, arp, peer;
            ASSERT_EQ(PlumbedInterface::plumb({own, "ip", i % 8 == 0, {}, nettest::kRoot}, &ip), 0);
            ASSERT_EQ(PlumbedInterface::plumb({own, "arp", false, {}, nettest::kRoot}, &arp), 0);
            ASSERT_EQ(PlumbedInterface::plumb({other, "ip", false, {}, nettest::kRoot}, &peer), 0);
            ip->bridge_to(peer.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            peer.reset(); // the bridge target goes away while frames are bridged to it
            if (i % 2)
                ip->unplumb();
            arp.reset();
            taken += ip->link().rx_frames;
            bridged += ip->link().bridged;
        }
    };
    std::thread t1(churn, "tstca0", "tstcb0"), t2(churn, "tstcb0", "tstca0");
    t1.join();
    t2.join();
    uint64_t rx = d1->instance(0)->counters().rx_frames + d2->instance(0)->counters().rx_frames;
    EXPECT_GT(rx, 0u);
    EXPECT_GE(rx, taken.load());
    EXPECT_LE(bridged.load(), taken.load());
    d1.reset(); // stops the generator threads, then unloads
    d2.reset();
}
