/*
 * TAP backend: a real Linux interface on the far side of an emulated NIC.
 *
 * The backend opens /dev/net/tun and attaches to the TAP device of the given name (IFF_TAP,
 * IFF_NO_PI: whole Ethernet frames, no packet-information prefix). If no such device exists
 * Linux creates one that lives as long as the backend (it disappears when the backend is
 * destroyed, in whatever network namespace it was moved to); a persistent device made with
 * "ip tuntap add ... mode tap" is attached to and left in place.
 *
 * Frames the Linux side sends on the device are read by the backend's thread (the NIC's
 * interrupt context) and received on the NIC. Frames the stack sends down the NIC are written
 * to the device in the sender's context without waiting: the descriptor is non-blocking, and a
 * frame the device cannot take at once (its queue is full, or the interface is down) is
 * dropped and counted. That write is the one system call per sent frame a real interface
 * needs.
 */
#ifndef NVX_NET_BACKENDS_TAP_H
#define NVX_NET_BACKENDS_TAP_H

#include "backends/backend.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace platform::net
{

struct TapConfig {
    std::string ifname; // the Linux interface name, 1..15 characters
};

// Relaxed counters (statistics, exact once traffic is quiet).
struct TapCounters {
    std::atomic<std::uint64_t> rx_frames{0}; // read from the device, handed to the NIC
    std::atomic<std::uint64_t> rx_bytes{0};
    std::atomic<std::uint64_t> tx_frames{0}; // written to the device
    std::atomic<std::uint64_t> tx_bytes{0};
    std::atomic<std::uint64_t> tx_dropped{0}; // the device did not take the frame
};

// Opens and attaches the device now, so that a bad name or a missing /dev/net/tun is reported
// at configuration time: nullptr with *error set ("tap nvx0: open /dev/net/tun: ...").
BackendPtr make_tap_backend(const TapConfig &cfg, std::string *error);
// The counters of a TAP backend; nullptr when b is another kind of backend.
const TapCounters *tap_counters(Backend &b);
// The name Linux gave the device; "" for another kind of backend.
std::string tap_ifname(Backend &b);

} // namespace platform::net

#endif
