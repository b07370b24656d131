/*
 * The thread shared by the backends that produce traffic (generator, pcap replay): it takes
 * frames from a source one after another and hands each to the NIC, as received from the wire
 * or, when the source marks it outbound, as sent by the host's stack; it paces them to a rate
 * and stops at a frame count, a time bound, the end of the source or stop(), whichever comes
 * first. Frames the stack sends down are counted and passed to an optional FrameSink.
 *
 * The thread is the NIC's interrupt context. Per frame it makes no system call except the
 * pacing sleep, taken only when it runs more than 200 microseconds ahead of the rate.
 */
#ifndef NVX_NET_BACKENDS_SOURCE_RUNNER_H
#define NVX_NET_BACKENDS_SOURCE_RUNNER_H

#include "backends/backend.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::net
{

struct Pacing {
    std::uint64_t max_frames = 0;        // 0: no count bound
    std::uint64_t frames_per_second = 0; // 0: as fast as the NIC takes them
    std::uint32_t max_milliseconds = 0;  // 0: no time bound
    bool start_held = false;             // wait for release() before the first frame
};

struct SourceCounters {
    std::atomic<std::uint64_t> received{0};  // handed to the NIC as received from the wire
    std::atomic<std::uint64_t> sent{0};      // handed to the stack to send
    std::atomic<std::uint64_t> unsent{0};    // outbound frames no stack stream took
    std::atomic<std::uint64_t> tx_frames{0}; // frames the stack sent down to this backend
    std::atomic<std::uint64_t> tx_bytes{0};
};

class SourceRunner
{
  public:
    // Called in the runner's thread: fills frame (reused buffer) and outbound; false at the end
    // of the source.
    using NextFrame = std::function<bool(std::vector<std::uint8_t> &frame, bool &outbound)>;

    SourceRunner(Pacing pacing, NextFrame next, FrameSink *tx_sink)
        : pacing_(pacing), next_(std::move(next)), tx_sink_(tx_sink)
    {
    }
    SourceRunner(const SourceRunner &) = delete;
    SourceRunner &operator=(const SourceRunner &) = delete;
    ~SourceRunner() { stop(); }

    int start(NicPort *port);
    void stop();
    void transmit(const std::uint8_t *frame, std::size_t len);
    // Lets a runner started with start_held go (the time bound counts from here).
    void release();

    // True once the thread has stopped on its own (bound or end of source) or by stop().
    bool finished() const { return finished_.load(std::memory_order_acquire); }
    // Waits up to timeout_ms for finished(); returns finished().
    bool wait_finished(unsigned timeout_ms);

    const SourceCounters &counters() const { return counters_; }

  private:
    void run(NicPort *port);

    Pacing pacing_;
    NextFrame next_;
    FrameSink *tx_sink_;
    SourceCounters counters_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    // Release on finishing pairs with the acquire in finished().
    std::atomic<bool> finished_{false};
    std::mutex done_mutex_; // guards released_; with done_cv_ for finished_ and released_
    std::condition_variable done_cv_;
    bool released_ = false;
};

} // namespace platform::net

#endif
