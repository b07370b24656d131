// Several NIC receive threads and a sending thread pass frames through nvx while control
// requests add and flush filters, add ignore entries, set and clear the bypass, list adapters,
// and sensors open adapters, create captures, read and close, again and again. Every frame
// must come out exactly once (the leak check sees every message block freed), and frames that
// nothing may drop must all arrive.
#include "module_fixture.h"

#include <atomic>
#include <chrono>
#include <thread>

using namespace modtest;
using namespace platform::streams;

class Concurrency : public ModuleTest
{
};

TEST_F(Concurrency, TrafficWhileControlRequestsAndCapturesComeAndGo)
{
    add_nic("cca", 1);
    add_nic("ccb", 2);
    auto *ipA = plumb("cca0", "ip", false);
    auto *ipB = plumb("ccb0", "ip", false);
    ASSERT_TRUE(ipA && ipB);
    const MacAddr macA = nic_mac("cca", 0), macB = nic_mac("ccb", 0);
    constexpr int kFrames = 3000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::atomic<bool> stop{false};
    std::atomic<int> wiresDone{0};
    std::atomic<int> peer1A{0}, sentOut{0};

    auto wireA = [&] {
        for (int i = 0; i < kFrames && std::chrono::steady_clock::now() < deadline; i++) {
            const unsigned peer = 1 + static_cast<unsigned>(i % 5);
            peer1A += peer == 1;
            receive("cca0", i % 3 == 0 ? tcp_in(macA, peer) : udp_in(macA, peer));
        }
        wiresDone++;
    };
    auto wireB = [&] { // peer 1 never comes here: nothing may drop these
        for (int i = 0; i < kFrames && std::chrono::steady_clock::now() < deadline; i++)
            receive("ccb0", udp_in(macB, 2 + static_cast<unsigned>(i % 4)));
        wiresDone++;
    };
    auto sender = [&] {
        for (int i = 0; i < kFrames && std::chrono::steady_clock::now() < deadline; i++) {
            auto f = udp_out(macA, 1 + static_cast<unsigned>(i % 5));
            sentOut += ipA->send(f.data(), f.size());
        }
        wiresDone++;
    };
    auto control = [&] {
        auto f = open_nvx();
        for (int i = 0; !stop && i < 5000; i++) {
            switch (i % 6) {
            case 0:
                (void)add_filter(*f, peer_ip(2 + i % 4), 32, 17, 2);
                break;
            case 1:
                (void)ignore(*f, peer_ip(1), 1 + i % 3, i % 2 ? 6 : 255);
                break;
            case 2:
                (void)bypass(*f, i % 12 == 2 ? peer_ip(3) : 0);
                break;
            case 3:
                (void)ioctl(*f, NVX_FLUSH_FILTERS_IOCTL, nullptr, 0);
                break;
            case 4: {
                AdapterData list;
                (void)ioctl(*f, NVX_ADAPTER_IOCTL, nullptr, 0, &list, sizeof list);
                break;
            }
            default:
                (void)config(*f, 2, 0, 10);
                break;
            }
        }
    };
    auto sensor = [&](const char *adapter, U32 mode) {
        // Reads wait up to a second once the traffic is over: keep cycling only while it runs.
        for (int cycle = 0; cycle < 12 && (cycle < 2 || wiresDone.load() < 3) &&
                            std::chrono::steady_clock::now() < deadline;
             cycle++) {
            auto f = open_nvx();
            if (open_adapter(*f, adapter) != 0)
                continue;
            CreateRxData reply{};
            if (create_rx(*f, 65536, mode, &reply) != 0)
                continue;
            auto region = map(*f, reply.ulBufSize);
            ASSERT_TRUE(region);
            for (int r = 0; r < 2; r++)
                (void)read_frames(*f, *region);
            if (cycle % 2 == 0) {
                EXPECT_EQ(ioctl(*f, NVX_CLOSE_RX_IOCTL, nullptr, 0), 0);
            }
            region.reset();
            // Odd cycles close the stream with the capture running.
        }
    };

    std::thread tControl(control);
    std::thread tSensorA(sensor, "cca0", CM_PROMISCUOUS);
    std::thread tSensorB(sensor, "ccb0", CM_INLINE);
    std::thread tWireA(wireA), tWireB(wireB), tSender(sender);
    tWireA.join();
    tWireB.join();
    tSender.join();
    tSensorA.join();
    tSensorB.join();
    stop = true;
    tControl.join();
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "bounded run took too long";

    // No capture is left: every held frame went on.
    EXPECT_EQ(ppaList[0].gip, nullptr);
    EXPECT_EQ(ppaList[1].gip, nullptr);
    EXPECT_EQ(ipB->link().rx_frames.load(), static_cast<uint64_t>(kFrames));
    EXPECT_EQ(sent_by("cca0")->frames(), static_cast<uint64_t>(sentOut.load()));
    const uint64_t atA = ipA->link().rx_frames.load();
    EXPECT_LE(atA, static_cast<uint64_t>(kFrames));
    EXPECT_GE(atA, static_cast<uint64_t>(kFrames - peer1A.load())); // only peer 1 is ignored
}
