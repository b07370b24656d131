#include "stack/upper_link.h"

#include <sys/dlpi.h>

#include <cstring>
#include <thread>

namespace platform::net
{

void UpperLink::attach(queue_t *wq, bool fastpath, std::uint16_t sap)
{
    std::lock_guard l(mutex_);
    wq_ = wq;
    sap_ = sap;
    fastpath_.store(fastpath, std::memory_order_relaxed);
    attached_.store(true, std::memory_order_seq_cst); // publishes wq_ to enter()
}

void UpperLink::detach()
{
    attached_.store(false, std::memory_order_seq_cst);
    // Either a send's enter() sees attached_ false, or this loop sees its count (both sides
    // are sequentially consistent). Acquire pairs with leave()'s release: every send that
    // entered has finished with wq_.
    while (users_.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
}

bool UpperLink::enter()
{
    users_.fetch_add(1, std::memory_order_seq_cst);
    if (attached_.load(std::memory_order_seq_cst))
        return true;
    leave();
    return false;
}

void UpperLink::leave()
{
    users_.fetch_sub(1, std::memory_order_release);
}

void UpperLink::set_bridge(std::shared_ptr<UpperLink> to)
{
    std::lock_guard l(mutex_);
    bridged_.store(to != nullptr, std::memory_order_relaxed);
    bridge_ = std::move(to);
}

std::vector<std::vector<std::uint8_t>> UpperLink::kept() const
{
    std::lock_guard l(mutex_);
    return kept_;
}

void UpperLink::received(mblk_t *data)
{
    std::size_t len = msgdsize(data) + kEtherHeaderLen;
    rx_frames.fetch_add(1, std::memory_order_relaxed);
    rx_bytes.fetch_add(len, std::memory_order_relaxed);
    // Most links neither keep nor bridge: no lock for them. A bridge being set up or taken
    // down meanwhile may miss or still get this frame either way.
    if (!keep_ && !bridged_.load(std::memory_order_relaxed)) {
        freemsg(data);
        return;
    }
    std::shared_ptr<UpperLink> to;
    {
        std::lock_guard l(mutex_);
        if (keep_) {
            std::vector<std::uint8_t> f(data->b_rptr - kEtherHeaderLen, data->b_wptr);
            for (mblk_t *b = data->b_cont; b; b = b->b_cont)
                f.insert(f.end(), b->b_rptr, b->b_wptr);
            kept_.push_back(std::move(f));
        }
        to = bridge_;
    }
    if (!to) {
        freemsg(data);
        return;
    }
    // The link header is still in the buffer in front of b_rptr: forward without a copy.
    data->b_rptr -= kEtherHeaderLen;
    if (to->send_message(data))
        bridged.fetch_add(1, std::memory_order_relaxed);
}

bool UpperLink::send_frame(const std::uint8_t *frame, std::size_t len)
{
    mblk_t *mp = allocb(len, BPRI_MED);
    if (!mp) {
        tx_dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    std::memcpy(mp->b_wptr, frame, len);
    mp->b_wptr += len;
    return send_message(mp);
}

bool UpperLink::send_message(mblk_t *mp)
{
    std::size_t len = msgdsize(mp);
    if (len < kEtherHeaderLen || MBLKL(mp) < static_cast<ssize_t>(kEtherHeaderLen) || !enter()) {
        tx_dropped.fetch_add(1, std::memory_order_relaxed);
        freemsg(mp);
        return false;
    }
    if (!fastpath_.load(std::memory_order_relaxed)) {
        // DL_UNITDATA_REQ: the destination DLSAP (MAC + EtherType) and the payload.
        constexpr std::size_t req_len = DL_UNITDATA_REQ_SIZE + kEtherAddrLen + 2;
        mblk_t *req = allocb(req_len, BPRI_MED);
        if (!req) {
            leave();
            tx_dropped.fetch_add(1, std::memory_order_relaxed);
            freemsg(mp);
            return false;
        }
        std::memset(req->b_rptr, 0, req_len);
        DB_TYPE(req) = M_PROTO;
        auto *ud = reinterpret_cast<dl_unitdata_req_t *>(req->b_rptr);
        ud->dl_primitive = DL_UNITDATA_REQ;
        ud->dl_dest_addr_length = kEtherAddrLen + 2;
        ud->dl_dest_addr_offset = DL_UNITDATA_REQ_SIZE;
        std::uint16_t type = get_be16(mp->b_rptr + kEtherTypeOffset);
        std::memcpy(req->b_rptr + DL_UNITDATA_REQ_SIZE, mp->b_rptr, kEtherAddrLen);
        std::memcpy(req->b_rptr + DL_UNITDATA_REQ_SIZE + kEtherAddrLen, &type, 2);
        req->b_wptr = req->b_rptr + req_len;
        mp->b_rptr += kEtherHeaderLen;
        req->b_cont = mp;
        mp = req;
    }
    putnext(wq_, mp);
    leave();
    tx_frames.fetch_add(1, std::memory_order_relaxed);
    tx_bytes.fetch_add(len, std::memory_order_relaxed);
    return true;
}

} // namespace platform::net
