#include "backends/source_runner.h"

#include <chrono>

namespace platform::net
{

int SourceRunner::start(NicPort *port)
{
    if (thread_.joinable())
        return 16; // EBUSY
    stop_.store(false, std::memory_order_relaxed);
    finished_.store(false, std::memory_order_relaxed);
    thread_ = std::thread([this, port] { run(port); });
    return 0;
}

void SourceRunner::release()
{
    {
        std::lock_guard lock(done_mutex_);
        released_ = true;
    }
    done_cv_.notify_all();
}

void SourceRunner::stop()
{
    {
        std::lock_guard lock(done_mutex_);
        stop_.store(true, std::memory_order_relaxed);
    }
    done_cv_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void SourceRunner::transmit(const std::uint8_t *frame, std::size_t len)
{
    counters_.tx_frames.fetch_add(1, std::memory_order_relaxed);
    counters_.tx_bytes.fetch_add(len, std::memory_order_relaxed);
    if (tx_sink_)
        tx_sink_->put_frame(frame, len);
}

bool SourceRunner::wait_finished(unsigned timeout_ms)
{
    std::unique_lock lock(done_mutex_);
    done_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return finished(); });
    return finished();
}

void SourceRunner::run(NicPort *port)
{
    using clock = std::chrono::steady_clock;
    if (pacing_.start_held) {
        std::unique_lock lock(done_mutex_);
        done_cv_.wait(lock, [this] { return released_ || stop_.load(std::memory_order_relaxed); });
    }
    const auto t0 = clock::now();
    const auto deadline = t0 + std::chrono::milliseconds(pacing_.max_milliseconds);
    std::vector<std::uint8_t> frame;
    std::uint64_t n = 0;
    // The stop flag is a plain request; relaxed is enough, join() orders the rest.
    while (!stop_.load(std::memory_order_relaxed)) {
        if (pacing_.max_frames && n >= pacing_.max_frames)
            break;
        auto now = clock::now();
        if (pacing_.max_milliseconds && now >= deadline)
            break;
        if (pacing_.frames_per_second) {
            auto due = t0 + std::chrono::nanoseconds(static_cast<std::int64_t>(
                                n * 1000000000ull / pacing_.frames_per_second));
            if (due > now + std::chrono::microseconds(200)) {
                std::this_thread::sleep_until(due);
                continue; // re-check stop and the bounds after sleeping
            }
        }
        bool outbound = false;
        if (!next_(frame, outbound))
            break;
        n++;
        if (outbound) {
            if (port->send_from_stack(frame.data(), frame.size()))
                counters_.sent.fetch_add(1, std::memory_order_relaxed);
            else
                counters_.unsent.fetch_add(1, std::memory_order_relaxed);
        } else {
            port->receive(frame.data(), frame.size());
            counters_.received.fetch_add(1, std::memory_order_relaxed);
        }
    }
    {
        std::lock_guard lock(done_mutex_);
        finished_.store(true, std::memory_order_release);
    }
    done_cv_.notify_all();
}

} // namespace platform::net
