// A stop racing a timer run and a read request, repeated: frames are staged all the time, the
// reader reads and then looks idle so that the timer (every tick) suspends and flushes, and the
// session is stopped at a random moment. Afterwards no timer may be armed, and every message
// must have been passed on or freed exactly once (ThreadSanitizer runs this test too).
#include "engine_fixture.h"

#include "clock.h"

#include <sys/ddi.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

namespace engine_test
{
namespace
{

class EngineRaceTest : public EngineTest
{
};

TEST_F(EngineRaceTest, StopRacingTimerAndReadLeavesNoTimerAndNoMessageBehind)
{
    NVX_ATOMIC_STORE(&GlobalTimeout, 0u); // the timer runs at every tick
    std::mt19937 rng(99);
    std::atomic<size_t> made{0};
    const int freedBefore = totalFreed;
    for (int rep = 0; rep < 12; ++rep) {
        SCOPED_TRACE(rep);
        ASSERT_EQ(create(65536, CM_PROMISCUOUS), 0);
        RcvBuffer *region = rb();
        void *queue = shared_queue();
        std::mutex regionLock; // the reader lets go of the region before the stop, as it must
        bool regionGone = false;
        std::atomic<bool> done{false};

        std::thread stager([&] {
            for (unsigned i = 0; !done.load(std::memory_order_relaxed) && i < 200000; ++i) {
                (void)capture(*m0_, inbound_frame(40), DIR_INBOUND);
                made.fetch_add(1, std::memory_order_relaxed);
                if (i % 16 == 0)
                    std::this_thread::yield();
            }
        });
        std::thread reader([&] {
            for (unsigned i = 0; !done.load(std::memory_order_relaxed) && i < 100000; ++i) {
                mblk_t *mp = allocb(sizeof(ReadData), BPRI_HI);
                mp->b_datap->db_type = M_PCPROTO;
                mp->b_wptr += sizeof(ReadData);
                nvx_read(device_wq(), mp);
                freemsg(mp);
                std::lock_guard<std::mutex> g(regionLock);
                if (regionGone)
                    continue;
                void *data = nullptr;
                U32 len = 0;
                for (int k = 0; k < 8; ++k)
                    if (CircularQueueDequeueIntermediate(queue, &data, &len) != 0)
                        break;
                NVX_ATOMIC_STORE(&region->lLastTime, 1u); // looks idle to the timer
                if (i % 4 == 3)                           // and stays idle past a tick now and then
                    std::this_thread::sleep_for(std::chrono::milliseconds(15));
            }
        });

        drv_usecwait(static_cast<clock_t>(5000 + rng() % 40000));
        {
            std::lock_guard<std::mutex> g(regionLock);
            regionGone = true;
        }
        EXPECT_EQ(close_rx(), 0);
        done.store(true, std::memory_order_relaxed);
        stager.join();
        reader.join();
        EXPECT_EQ(sip(), nullptr);
        EXPECT_EQ(platform::clock::pending_callouts(), 0u) << "no timer armed after the stop";
    }
    const size_t passed = m0_->up.count() + m0_->down.count();
    EXPECT_EQ(passed + static_cast<size_t>(totalFreed - freedBefore), made.load());
}

} // namespace
} // namespace engine_test
