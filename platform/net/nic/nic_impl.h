/*
 * Kernel-side records of the emulated NIC drivers.
 *
 * Lock key:
 *   i  set at creation, never changed
 *   s  nic_stream::lock (the stream's DLPI state; taken by the write-side put procedure)
 *   b  NicInstance::bind_lock (the instance's bound streams and stack senders)
 *   a  atomic only
 * Lock order: s before b. Neither is held while a message is passed to another queue
 * (putnext / qreply): an upper module may answer in the same thread with a new request.
 *
 * Lifetime: a stream's record lives from open to close. The receive path marks a stream it
 * is delivering to with rx_inflight (under b, so close, having taken the stream off the list
 * under b, only has to wait for the count to drop to zero before it lets the queues go).
 */
#ifndef NVX_NET_NIC_NIC_IMPL_H
#define NVX_NET_NIC_NIC_IMPL_H

#include "nic/nic.h"

#include <sys/dlpi.h>
#include <sys/stream.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace platform::net
{

// Bytes of the receive buffer in front of the link header. Kept below 8 so that a module
// locating the link header from the bytes in front of b_rptr (14, or 22 for 802.3/SNAP when
// at least 22 bytes precede) always finds 14 for an Ethernet II frame; 2 aligns the IP header
// on a 4-byte boundary.
constexpr std::size_t kNicRxHeadroom = 2;
static_assert(kNicRxHeadroom < 8, "an Ethernet II header must not look like an 802.3 one");

constexpr std::size_t kNicDlsapLen = kEtherAddrLen + 2; // MAC followed by the SAP
constexpr std::uint32_t kNicMaxMtu = 9000;
constexpr std::size_t kNicMaxStreams = 64;     // streams per driver
constexpr minor_t kNicFirstStreamMinor = 1000; // minors of streams (nodes use 0 .. ppa)
constexpr std::size_t kNicMaxFanout = 8; // streams one frame is delivered to; later ones miss it

struct NicDriverRec;
struct NicInstance;

struct nic_stream {
    queue_t *rq;                       // i: our read queue
    NicDriverRec *drv;                 // i
    minor_t minor;                     // i
    std::mutex lock;                   // s
    t_uscalar_t state;                 // s: DL_UNATTACHED, DL_UNBOUND or DL_IDLE
    NicInstance *nic;                  // s: attached instance (written under s and b when bound)
    std::uint16_t sap;                 // s (read under b by the receive path while bound)
    std::atomic<bool> fastpath{false}; // a: DL_IOC_HDR_INFO acknowledged
    std::atomic<int> rx_inflight{0};   // a: receive deliveries in progress (see above)
};

struct StackSender {
    std::uint16_t ethertype;
    StackSendFn fn;
    void *ctx;
};

struct NicInstance final : public NicPort {
    NicDriverRec *drv = nullptr;   // i
    unsigned ppa = 0;              // i
    MacAddr mac_addr{};            // i
    std::uint32_t mtu = kEtherMtu; // i
    bool promiscuous = false;      // i
    std::string ifname;            // i
    BackendPtr backend;            // i
    NicCounters counters;          // a
    Nic handle{this};              // i

    std::mutex bind_lock;                // b
    std::vector<nic_stream *> bound;     // b: streams in DL_IDLE
    std::vector<StackSender> senders;    // b
    std::atomic<int> sender_inflight{0}; // a: stack sends in progress

    virtual ~NicInstance() = default;
    void receive(const std::uint8_t *frame, std::size_t len) override;
    bool send_from_stack(const std::uint8_t *frame, std::size_t len) override;
    const MacAddr &mac() const override { return mac_addr; }
};

struct NicDriverRec {
    std::string name;                                    // i
    int style = 2;                                       // i
    std::vector<std::unique_ptr<NicInstance>> instances; // i (after load)
    dev_info_t *dip = nullptr;                           // i (after attach)
    major_t major = 0;                                   // i (after attach)
    std::mutex minor_lock;                               // guards minors
    nic_stream *minors[kNicMaxStreams] = {};
    // The linkage handed to mod_install (pointers into this record).
    struct streamtab *tab = nullptr;
    void *linkage_storage = nullptr;

    NicInstance *find_ppa(unsigned ppa) const
    {
        for (const auto &n : instances)
            if (n->ppa == ppa)
                return n.get();
        return nullptr;
    }
};

// Driver record by name or major (registry of loaded NIC drivers).
NicDriverRec *nic_driver_by_major(major_t major);

// Write side (nic_dlpi.cpp): the DLPI dispatcher for M_PROTO / M_PCPROTO, and the fast-path
// ioctl.
void nic_proto(nic_stream *ns, queue_t *wq, mblk_t *mp);
void nic_ioctl(nic_stream *ns, queue_t *wq, mblk_t *mp);
// Takes a bound stream off its instance's list and waits until no delivery is running on it
// (caller holds s; b is taken inside).
void nic_unbind_locked(nic_stream *ns);

// Send path (nic_tx.cpp). nic_send_data: M_DATA with the link header (fast path), consumed.
// nic_transmit_unitdata: the payload blocks of a DL_UNITDATA_REQ behind a header built for dst
// and type; called with s held, does not consume data; 0 or EINVAL (empty or over the MTU).
// Backends' transmit never calls back into a NIC, so it may run under s.
void nic_send_data(nic_stream *ns, mblk_t *mp);
int nic_transmit_unitdata(nic_stream *ns, const std::uint8_t *dst, std::uint16_t type,
                          mblk_t *data);

} // namespace platform::net

#endif
