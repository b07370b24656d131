/*
 * Receive path of the emulated NICs (NicPort::receive), and frames the host's stack sends for
 * a backend (NicPort::send_from_stack).
 *
 * - Context: the backend's thread, the instance's interrupt context. Never sleeps: per frame
 *   one allocb per receiving stream (two without fast path), one copy, putnext.
 * - Acceptance: frames for the adapter's address, broadcast and multicast; unicast frames for
 *   other stations only when the instance is promiscuous (else counted rx_not_mine). Frames
 *   shorter than a link header or longer than header + MTU are counted rx_bad_length.
 * - Delivery by SAP: every stream bound to the frame's EtherType gets its own copy, a
 *   fast-path stream as M_DATA, the others as DL_UNITDATA_IND (M_PROTO with destination and
 *   source DLSAP addresses) followed by M_DATA. In both, b_rptr of the M_DATA block is at the
 *   payload and the 14-byte link header lies directly in front of it in the same buffer, with
 *   kNicRxHeadroom (2) bytes before it.
 * - Loss: a frame is dropped only for the reasons counted above or when allocb fails
 *   (rx_nomem); no flow control is applied (as a hardware driver that cannot hold frames).
 * - Ordering: frames of one backend thread reach each stream in arrival order.
 * Locks: bind_lock (b) only while choosing the streams; released before putnext.
 */
#include "nic/nic_impl.h"

#include <cstring>
#include <thread>

namespace platform::net
{

namespace
{

// The M_DATA block of one received frame: header in front of b_rptr, payload from b_rptr.
mblk_t *nic_rx_data_block(const std::uint8_t *frame, std::size_t len)
{
    mblk_t *mp = allocb(kNicRxHeadroom + len, BPRI_HI);
    if (!mp)
        return nullptr;
    mp->b_rptr = DB_BASE(mp) + kNicRxHeadroom;
    std::memcpy(mp->b_rptr, frame, len);
    mp->b_wptr = mp->b_rptr + len;
    mp->b_rptr += kEtherHeaderLen;
    return mp;
}

mblk_t *nic_rx_unitdata_ind(const std::uint8_t *frame)
{
    constexpr size_t len = DL_UNITDATA_IND_SIZE + 2 * kNicDlsapLen;
    mblk_t *mp = allocb(len, BPRI_HI);
    if (!mp)
        return nullptr;
    std::memset(mp->b_rptr, 0, len);
    mp->b_wptr = mp->b_rptr + len;
    DB_TYPE(mp) = M_PROTO;
    auto *ind = reinterpret_cast<dl_unitdata_ind_t *>(mp->b_rptr);
    std::uint16_t sap = get_be16(frame + kEtherTypeOffset);
    ind->dl_primitive = DL_UNITDATA_IND;
    ind->dl_dest_addr_length = kNicDlsapLen;
    ind->dl_dest_addr_offset = DL_UNITDATA_IND_SIZE;
    ind->dl_src_addr_length = kNicDlsapLen;
    ind->dl_src_addr_offset = DL_UNITDATA_IND_SIZE + kNicDlsapLen;
    ind->dl_group_address = mac_is_group(frame) ? 1 : 0;
    std::uint8_t *d = mp->b_rptr + DL_UNITDATA_IND_SIZE;
    std::memcpy(d, frame, kEtherAddrLen);
    std::memcpy(d + kEtherAddrLen, &sap, sizeof sap);
    std::memcpy(d + kNicDlsapLen, frame + kEtherAddrLen, kEtherAddrLen);
    std::memcpy(d + kNicDlsapLen + kEtherAddrLen, &sap, sizeof sap);
    return mp;
}

} // namespace

void NicInstance::receive(const std::uint8_t *frame, std::size_t len)
{
    if (len < kEtherHeaderLen || len > kEtherHeaderLen + mtu) {
        counters.rx_bad_length.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (!mac_is_group(frame) && !mac_equal(frame, mac_addr) && !promiscuous) {
        counters.rx_not_mine.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::uint16_t type = get_be16(frame + kEtherTypeOffset);
    nic_stream *targets[kNicMaxFanout];
    std::size_t n = 0;
    {
        std::lock_guard b(bind_lock);
        for (nic_stream *ns : bound) {
            if (ns->sap == type && n < kNicMaxFanout) {
                // Relaxed: the increment is ordered before close's check by bind_lock.
                ns->rx_inflight.fetch_add(1, std::memory_order_relaxed);
                targets[n++] = ns;
            }
        }
    }
    if (n == 0) {
        counters.rx_unbound.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    for (std::size_t i = 0; i < n; i++) {
        nic_stream *ns = targets[i];
        mblk_t *mp = nic_rx_data_block(frame, len);
        if (mp && !ns->fastpath.load(std::memory_order_relaxed)) {
            mblk_t *ind = nic_rx_unitdata_ind(frame);
            if (ind) {
                ind->b_cont = mp;
                mp = ind;
            } else {
                freemsg(mp);
                mp = nullptr;
            }
        }
        if (mp) {
            putnext(ns->rq, mp);
            counters.rx_frames.fetch_add(1, std::memory_order_relaxed);
            counters.rx_bytes.fetch_add(len, std::memory_order_relaxed);
        } else {
            counters.rx_nomem.fetch_add(1, std::memory_order_relaxed);
        }
        // Release: everything this delivery did with the stream happens before close,
        // which waits for the count with acquire, frees it.
        ns->rx_inflight.fetch_sub(1, std::memory_order_release);
    }
}

bool NicInstance::send_from_stack(const std::uint8_t *frame, std::size_t len)
{
    if (len < kEtherHeaderLen) {
        counters.stack_unsent.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::uint16_t type = get_be16(frame + kEtherTypeOffset);
    StackSender s{};
    {
        std::lock_guard b(bind_lock);
        for (const StackSender &cand : senders)
            if (cand.ethertype == type)
                s = cand;
        if (s.fn)
            sender_inflight.fetch_add(1, std::memory_order_relaxed);
    }
    bool sent = s.fn && s.fn(s.ctx, frame, len);
    if (s.fn)
        sender_inflight.fetch_sub(1, std::memory_order_release); // pairs with unregister
    if (!sent)
        counters.stack_unsent.fetch_add(1, std::memory_order_relaxed);
    return sent;
}

int Nic::register_stack_sender(std::uint16_t ethertype, StackSendFn fn, void *ctx)
{
    std::lock_guard b(impl_->bind_lock);
    for (const StackSender &s : impl_->senders)
        if (s.ethertype == ethertype)
            return 17; // EEXIST
    impl_->senders.push_back({ethertype, fn, ctx});
    return 0;
}

void Nic::unregister_stack_sender(void *ctx)
{
    {
        std::lock_guard b(impl_->bind_lock);
        auto &v = impl_->senders;
        for (auto it = v.begin(); it != v.end();)
            it = it->ctx == ctx ? v.erase(it) : it + 1;
    }
    // A send that picked the sender before it was removed may still run: wait for it. The
    // count covers every sender of the instance, so this may also wait for another's send.
    while (impl_->sender_inflight.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
}

} // namespace platform::net
