// The per-frame checks on several threads at once, as the put procedures run them (nvx_rwlock
// as reader around the flood, bypass and filter checks), while a control thread flushes and
// re-adds the filter set and another adds ignore entries and moves the bypass. Frames that no
// filter, ignore entry or bypass can ever cover must never match; the set the writer builds
// must be whole once its adds are done; and ThreadSanitizer watches every access.
#include <gtest/gtest.h>

#include <sys/ddi.h>
#include <sys/ksynch.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "nvx.h"
#include "nvxflood.h"
#include "packetfilter.h"
#include "test_frames.h"

namespace
{

using test_frames::Frame;
using test_frames::FrameShape;
using test_frames::ip;

constexpr U8 TCP = 6, UDP = 17;

class FilterConcurrencyTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        rw_init(&nvx_rwlock, nullptr, RW_DRIVER, nullptr);
        rw_init(&nvx_pflock, nullptr, RW_DRIVER, nullptr);
        InitFlood();
        ASSERT_EQ(InitializeFilters(), 0);
    }
    void TearDown() override
    {
        DestroyFilters();
        FiniFlood();
        rw_destroy(&nvx_pflock);
        rw_destroy(&nvx_rwlock);
    }
};

TEST_F(FilterConcurrencyTest, LookupsWhileFiltersAndIgnoreEntriesChange)
{
    // The writer's set: 16 networks 198.18.N.0/24, TCP only, either direction.
    std::vector<FilterElement> set;
    for (unsigned n = 0; n < 16; n++) {
        FilterElement f{};
        f.ulIpAddress = ip(198, 18, n, 0);
        f.ucNetMask = 24;
        f.ucProtocol = TCP;
        f.ucDirection = FILTER_EITHER_DIRECTION;
        set.push_back(f);
    }
    const U32 covered = ip(198, 18, 3, 7);  // inside the set, TCP: filtered while present
    const U32 outsider = ip(198, 19, 0, 1); // never filtered, ignored or bypassed
    const U32 local = ip(198, 19, 0, 2);

    std::time_t start = 0;
    drv_getparm(TIME, &start);

    // The control threads keep changing things for as long as any reader runs (bounded by
    // their own counts too), so every reader frame meets changes in flight.
    constexpr int kReaders = 3;
    constexpr int kReaderFrames = 2000000;
    constexpr auto kReadWindow = std::chrono::milliseconds(400);
    constexpr int kFilterRounds = 1000000;
    constexpr int kIgnoreRequests = 10000000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto inTime = [&] { return std::chrono::steady_clock::now() < deadline; };
    std::atomic<int> readersRunning{kReaders};
    auto readersActive = [&] { return readersRunning.load() > 0 && inTime(); };
    std::atomic<int> filterRounds{0}, ignoreRequests{0};
    // Every thread starts its loop only once all of them exist.
    constexpr int kThreads = kReaders + 2;
    std::atomic<int> ready{0};
    auto startTogether = [&] {
        ready++;
        while (ready.load() < kThreads) {
            std::this_thread::yield();
        }
    };

    std::atomic<int> wrongMatches{0}, coveredFiltered{0}, incompleteSets{0}, failedAdds{0};

    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; r++) {
        threads.emplace_back([&, r] {
            Frame outsiderIn(FrameShape{DIR_INBOUND, outsider, local, TCP});
            Frame outsiderOut(FrameShape{DIR_OUTBOUND, local, outsider, TCP});
            Frame coveredIn(FrameShape{DIR_INBOUND, covered, local, TCP});
            Frame coveredUdp(FrameShape{DIR_INBOUND, covered, local, UDP});
            startTogether();
            // Readers run for a fixed window (bounded by a count too) whatever the scheduler
            // does; the control threads keep changing things until the last reader is done.
            const auto windowEnd = std::chrono::steady_clock::now() + kReadWindow;
            for (int i = 0; i < kReaderFrames && std::chrono::steady_clock::now() < windowEnd;
                 i++) {
                // Capture seconds run ahead of the clock so that ignore entries expire and
                // the readers' ageing passes free them while requests add more.
                const std::time_t second = start + i / 40 + r;
                rw_enter(&nvx_rwlock, RW_READER);
                const bool wrong = CheckFlood(outsiderIn.message(), second, DIR_INBOUND) ||
                                   BypassHandler(nullptr, outsiderIn.message(), DIR_INBOUND) ||
                                   BypassHandler(nullptr, outsiderOut.message(), DIR_OUTBOUND) ||
                                   CheckFiltered(outsiderIn.message(), DIR_INBOUND) ||
                                   CheckFiltered(outsiderOut.message(), DIR_OUTBOUND) ||
                                   CheckFiltered(coveredUdp.message(), DIR_INBOUND);
                const bool filtered = CheckFiltered(coveredIn.message(), DIR_INBOUND);
                rw_exit(&nvx_rwlock);
                wrongMatches += wrong;
                coveredFiltered += filtered;
            }
            readersRunning--;
        });
    }
    threads.emplace_back([&] {
        std::mt19937 random(7);
        std::vector<FilterElement> order = set;
        startTogether();
        for (int round = 0; round < kFilterRounds && readersActive(); round++) {
            filterRounds++;
            if (FlushFilters() != 0) {
                failedAdds++;
            }
            std::shuffle(order.begin(), order.end(), random);
            for (const FilterElement &f : order) {
                if (AddFilter(f.ulIpAddress, f.ucNetMask, f.ucProtocol, f.ucDirection) == nullptr) {
                    failedAdds++;
                }
                // A control request is a round trip from user space: frames flow in between.
                std::this_thread::yield();
            }
            // Only this thread changes the set: once its adds are done the set is whole.
            if (GetFilterCount() != set.size() || !IsFiltered(covered, TCP, DIR_INBOUND)) {
                incompleteSets++;
            }
        }
    });
    threads.emplace_back([&] {
        startTogether();
        for (int i = 0; i < kIgnoreRequests && readersActive(); i++) {
            ignoreRequests++;
            if (AddFlood(ip(198, 18, 100, i % 50), 1 + i % 3, i % 2 ? TCP : FLOOD_ANY_PROTOCOL) !=
                1) {
                failedAdds++;
            }
            SetBypass(i % 2 ? ip(198, 18, 200, 1) : 0, 0);
            std::this_thread::yield();
        }
    });
    for (std::thread &t : threads) {
        t.join();
    }

    EXPECT_EQ(wrongMatches.load(), 0);
    EXPECT_EQ(incompleteSets.load(), 0);
    EXPECT_EQ(failedAdds.load(), 0);
    EXPECT_GT(coveredFiltered.load(), 0) << "the covered frame was filtered at least sometimes";
    EXPECT_GT(filterRounds.load(), 1) << "the set changed while the readers ran";
    EXPECT_GT(ignoreRequests.load(), 1) << "ignore entries came while the readers ran";
    // What is left is whole: the last set, and ignore entries only for the requested sources.
    EXPECT_TRUE(IsFiltered(covered, TCP, DIR_OUTBOUND));
    EXPECT_EQ(GetFilterCount(), set.size());
    for (const FloodItem *item = FloodList; item != nullptr; item = item->next) {
        EXPECT_EQ(item->ip & 0xffffff00u, ip(198, 18, 100, 0));
    }
}

} // namespace
