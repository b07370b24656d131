/*
 * The sink backend, and FrameCollector, the frame sink it is built on.
 *
 * The sink backend receives nothing from a wire; every frame the stack sends down is counted
 * and, when asked, kept (for tests). A FrameCollector can also take the sent-down frames of
 * the generator and replay backends.
 */
#ifndef NVX_NET_BACKENDS_SINK_H
#define NVX_NET_BACKENDS_SINK_H

#include "backends/backend.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace platform::net
{

class FrameCollector : public FrameSink
{
  public:
    // keep: keep copies of the frames, at most max_kept of them (the rest are only counted).
    explicit FrameCollector(bool keep = false, std::size_t max_kept = 65536)
        : keep_(keep), max_kept_(max_kept)
    {
    }
    virtual ~FrameCollector() = default;

    void put_frame(const std::uint8_t *frame, std::size_t len) override;

    // Relaxed counters: statistics, exact once the senders are quiet.
    std::uint64_t frames() const { return frames_.load(std::memory_order_relaxed); }
    std::uint64_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    std::vector<std::vector<std::uint8_t>> kept() const;
    void clear();

  private:
    bool keep_;
    std::size_t max_kept_;
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> bytes_{0};
    mutable std::mutex mutex_; // guards kept_
    std::vector<std::vector<std::uint8_t>> kept_;
};

BackendPtr make_sink_backend(bool keep = false);
// The collector of a sink backend; nullptr when b is another kind of backend.
FrameCollector *sink_collector(Backend &b);

} // namespace platform::net

#endif
