/*
 * UpperLink: what a plumbed "ip" or "arp" stream shares with the host code that plumbed it.
 * The module instance counts (and optionally keeps) what it receives, and bridges it to
 * another link; host code and backends send frames down through it.
 *
 * Lifetime: owned (shared) by the PlumbedInterface and by every link bridging to it; the
 * module instance refers to it from the plumb request to its close. Sending down is allowed
 * only between attach() and detach(): detach waits until no send is running, so the stream's
 * write queue is never used after the stream starts closing.
 */
#ifndef NVX_NET_STACK_UPPER_LINK_H
#define NVX_NET_STACK_UPPER_LINK_H

#include "frame/ether.h"

#include <sys/stream.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::net
{

class UpperLink
{
  public:
    explicit UpperLink(bool keep) : keep_(keep) {}

    // Module side (the stream's write queue below the module, after the plumb completed).
    void attach(queue_t *wq, bool fastpath, std::uint16_t sap);
    void detach();

    // Read side of the module (interrupt context): a received frame, the M_DATA block whose
    // b_rptr is at the payload with the link header directly in front. Consumes mp.
    void received(mblk_t *data);

    // Any thread: sends a whole frame (link header first) down the stream, as fast-path
    // M_DATA, or as DL_UNITDATA_REQ when the stream has no fast path. False when the link is
    // not attached or allocb failed (counted).
    bool send_frame(const std::uint8_t *frame, std::size_t len);
    // As send_frame, for a message already holding the frame (consumed in every case).
    bool send_message(mblk_t *frame);

    void set_bridge(std::shared_ptr<UpperLink> to);

    std::vector<std::vector<std::uint8_t>> kept() const;
    bool fastpath() const { return fastpath_.load(std::memory_order_relaxed); }

    // Relaxed statistics.
    std::atomic<std::uint64_t> rx_frames{0};
    std::atomic<std::uint64_t> rx_bytes{0}; // link header included
    std::atomic<std::uint64_t> tx_frames{0};
    std::atomic<std::uint64_t> tx_bytes{0};
    std::atomic<std::uint64_t> tx_dropped{0}; // not attached, malformed or no memory
    std::atomic<std::uint64_t> bridged{0};

  private:
    bool enter();
    void leave();

    bool keep_;
    mutable std::mutex mutex_; // guards kept_, bridge_, and wq_ changes
    std::vector<std::vector<std::uint8_t>> kept_;
    std::shared_ptr<UpperLink> bridge_;
    std::atomic<bool> bridged_{false}; // bridge_ is set (a hint for the frame path)
    queue_t *wq_ = nullptr;            // set before attached_ turns true, read after enter()
    std::uint16_t sap_ = 0;
    std::atomic<bool> fastpath_{false};
    std::atomic<bool> attached_{false};
    std::atomic<int> users_{0}; // sends in progress (between enter() and leave())
};

} // namespace platform::net

#endif
