/*
 * Wire backend: joins two NICs back to back. A frame one NIC transmits is queued on the wire
 * and received by the other NIC in the receiving end's own thread (its interrupt context), so
 * a sender never runs the peer's receive path and a bridge on both NICs cannot recurse.
 * Each direction holds at most queue_frames frames in flight; a frame sent while its
 * direction is full is dropped and counted.
 */
#ifndef NVX_NET_BACKENDS_WIRE_H
#define NVX_NET_BACKENDS_WIRE_H

#include "backends/backend.h"

#include <cstdint>
#include <utility>

namespace platform::net
{

struct WireCounters {
    std::uint64_t carried;         // frames delivered to this end's NIC
    std::uint64_t dropped;         // frames sent towards this end while its queue was full
    std::uint64_t dropped_stopped; // frames sent towards this end while it was not started
};

// The two ends; each is the backend of one NIC. Either may be destroyed first.
std::pair<BackendPtr, BackendPtr> make_wire(std::size_t queue_frames = 1024);
// Counters of frames travelling towards end b; all zero for another kind of backend.
WireCounters wire_counters(Backend &b);

} // namespace platform::net

#endif
