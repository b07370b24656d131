/*
 * Send path of the emulated NICs: frames the stack sends down go to the instance's backend.
 *
 * - M_DATA (fast path): the message holds a whole frame, link header first; it is sent as it
 *   is. Accepted only on a bound stream; anything else is dropped and counted (tx_errors).
 * - DL_UNITDATA_REQ: the link header is built from the destination address, the adapter's
 *   address and the EtherType (the address's SAP part, else the bound SAP).
 * A frame of one block goes to the backend straight from the block; a frame of several blocks
 * is gathered into a per-thread buffer first. No system call is made here.
 * Context: write-side put procedure, any thread; takes the stream lock (s).
 */
#include "nic/nic_impl.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform::net
{

namespace
{

// Gathers the M_DATA blocks of mp behind prefix (may be empty) into a contiguous frame.
const std::uint8_t *nic_gather(const std::uint8_t *prefix, size_t prefix_len, mblk_t *mp,
                               size_t total, std::vector<std::uint8_t> &buf)
{
    if (prefix_len == 0 && mp && !mp->b_cont)
        return mp->b_rptr;
    buf.resize(total);
    std::memcpy(buf.data(), prefix, prefix_len);
    size_t off = prefix_len;
    for (mblk_t *b = mp; b; b = b->b_cont) {
        if (DB_TYPE(b) != M_DATA)
            continue;
        std::memcpy(buf.data() + off, b->b_rptr, static_cast<size_t>(MBLKL(b)));
        off += static_cast<size_t>(MBLKL(b));
    }
    return buf.data();
}

thread_local std::vector<std::uint8_t> tx_buf;

} // namespace

void nic_send_data(nic_stream *ns, mblk_t *mp)
{
    std::lock_guard s(ns->lock);
    NicInstance *nic = ns->nic;
    if (!nic) {
        freemsg(mp); // not attached: no instance to count it on
        return;
    }
    size_t len = msgdsize(mp);
    if (ns->state != DL_IDLE || len < kEtherHeaderLen || len > kEtherHeaderLen + nic->mtu) {
        nic->counters.tx_errors.fetch_add(1, std::memory_order_relaxed);
        freemsg(mp);
        return;
    }
    const std::uint8_t *frame = nic_gather(nullptr, 0, mp, len, tx_buf);
    nic->backend->transmit(frame, len);
    nic->counters.tx_frames.fetch_add(1, std::memory_order_relaxed);
    nic->counters.tx_bytes.fetch_add(len, std::memory_order_relaxed);
    freemsg(mp);
}

int nic_transmit_unitdata(nic_stream *ns, const std::uint8_t *dst, std::uint16_t type, mblk_t *data)
{
    NicInstance *nic = ns->nic;
    size_t payload = data ? msgdsize(data) : 0;
    if (payload == 0 || payload > nic->mtu) {
        nic->counters.tx_errors.fetch_add(1, std::memory_order_relaxed);
        return EINVAL;
    }
    std::uint8_t hdr[kEtherHeaderLen];
    std::memcpy(hdr, dst, kEtherAddrLen);
    std::memcpy(hdr + kEtherAddrLen, nic->mac_addr.data(), kEtherAddrLen);
    put_be16(hdr + kEtherTypeOffset, type);
    size_t len = kEtherHeaderLen + payload;
    const std::uint8_t *frame = nic_gather(hdr, sizeof hdr, data, len, tx_buf);
    nic->backend->transmit(frame, len);
    nic->counters.tx_frames.fetch_add(1, std::memory_order_relaxed);
    nic->counters.tx_bytes.fetch_add(len, std::memory_order_relaxed);
    return 0;
}

} // namespace platform::net
