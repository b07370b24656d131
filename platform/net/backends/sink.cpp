/*
 * Sink backend: transmit() counts (and optionally keeps) each frame; start() starts no thread,
 * since a sink never receives.
 */
#include "backends/sink.h"

namespace platform::net
{

void FrameCollector::put_frame(const std::uint8_t *frame, std::size_t len)
{
    frames_.fetch_add(1, std::memory_order_relaxed);
    bytes_.fetch_add(len, std::memory_order_relaxed);
    if (!keep_)
        return;
    std::lock_guard lock(mutex_);
    if (kept_.size() < max_kept_)
        kept_.emplace_back(frame, frame + len);
}

std::vector<std::vector<std::uint8_t>> FrameCollector::kept() const
{
    std::lock_guard lock(mutex_);
    return kept_;
}

void FrameCollector::clear()
{
    std::lock_guard lock(mutex_);
    kept_.clear();
    frames_.store(0, std::memory_order_relaxed);
    bytes_.store(0, std::memory_order_relaxed);
}

namespace
{

int sink_start(void *, NicPort *)
{
    return 0;
}
void sink_stop(void *) {}
void sink_transmit(void *priv, const std::uint8_t *frame, std::size_t len)
{
    static_cast<FrameCollector *>(priv)->put_frame(frame, len);
}
void sink_destroy(void *priv)
{
    delete static_cast<FrameCollector *>(priv);
}

const BackendOps sink_ops = {
    "sink",        // name
    sink_start,    // start
    sink_stop,     // stop
    sink_transmit, // transmit
    sink_destroy,  // destroy
};

} // namespace

BackendPtr make_sink_backend(bool keep)
{
    return std::make_unique<Backend>(&sink_ops, new FrameCollector(keep));
}

FrameCollector *sink_collector(Backend &b)
{
    return b.ops() == &sink_ops ? static_cast<FrameCollector *>(b.priv()) : nullptr;
}

} // namespace platform::net
