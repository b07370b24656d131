// Two NIC receive threads deliver while streams are plumbed and unplumbed on both NICs: no
// frame reaches a closed stream, nothing leaks, every delivered frame is counted.
#include "backends/generator.h"
#include "nic_fixture.h"
#include "stack/plumb.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace platform::net;

TEST(NicConcurrency, ReceiveWhilePlumbingAndUnplumbing)
{
    auto make = [](const char *name, int style, MacAddr mac, uint64_t seed) {
        GeneratorConfig gc;
        gc.seed = seed;
        gc.station_mac = mac;
        gc.pacing.max_milliseconds = 20000; // bounded; stopped by the driver's unload
        gc.pacing.frames_per_second = 20000;
        return nettest::load_nic(name, style, make_generator_backend(gc), mac);
    };
    auto d1 = make("tstca", 1, {2, 0, 0, 0, 0xc, 1}, 1);
    auto d2 = make("tstcb", 2, {2, 0, 0, 0, 0xc, 2}, 2);
    ASSERT_TRUE(d1 && d2);
    std::atomic<uint64_t> delivered{0};
    auto churn = [&](const std::string &ifname) {
        for (int i = 0; i < 25; i++) {
            std::unique_ptr<PlumbedInterface> ip, arp;
            ASSERT_EQ(PlumbedInterface::plumb({ifname, "ip", i % 5 == 0, {}, nettest::kRoot}, &ip),
                      0);
            ASSERT_EQ(PlumbedInterface::plumb({ifname, "arp", false, {}, nettest::kRoot}, &arp), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (i % 2)
                ip->unplumb();
            arp.reset();
            delivered += ip->link().rx_frames + 0;
        }
    };
    std::thread t1(churn, "tstca0"), t2(churn, "tstcb0");
    t1.join();
    t2.join();
    uint64_t rx = d1->instance(0)->counters().rx_frames + d2->instance(0)->counters().rx_frames;
    EXPECT_GT(rx, 0u);
    EXPECT_GE(rx, delivered.load());
    d1.reset(); // stops the generator threads, then unloads
    d2.reset();
}
