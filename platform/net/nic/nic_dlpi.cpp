/*
 * DLPI provider side of the emulated NIC drivers: one handler per primitive, one dispatcher.
 *
 * Contract:
 * - Handles the primitives of a connectionless Ethernet provider: DL_INFO_REQ (any state),
 *   DL_ATTACH_REQ / DL_DETACH_REQ (style 2), DL_BIND_REQ / DL_UNBIND_REQ, DL_PHYS_ADDR_REQ,
 *   DL_ENABMULTI_REQ / DL_DISABMULTI_REQ (every multicast frame is delivered anyway) and
 *   DL_UNITDATA_REQ; the M_IOCTL DL_IOC_HDR_INFO switches a bound stream to the fast path.
 * - Every handler has one shape: it checks the length (DL_BADPRIM), then the state
 *   (DL_OUTSTATE), acts, and either hands back its acknowledgement or an error. The dispatcher
 *   is the only switch over primitives; every failure leaves through its one error exit,
 *   which sends DL_ERROR_ACK (DL_UDERROR_IND for DL_UNITDATA_REQ).
 * - Context: the write-side put procedure, in the sender's thread (process context for the
 *   stack's requests, possibly interrupt context for data). Handlers run with the stream lock
 *   held; acknowledgements are sent after it is released, because an upper module may answer
 *   an acknowledgement in the same thread with a new request on this stream.
 * - Allocation failures: a failed acknowledgement becomes DL_ERROR_ACK DL_SYSERR/ENOMEM built
 *   in the request's own block; if even that is impossible the request is freed.
 */
#include "nic/nic_impl.h"

#include <cerrno>
#include <cstring>

namespace platform::net
{

namespace
{

// Outcome of a handler: dl_errno < 0 is success.
struct nic_result {
    int dl_errno;
    int unix_errno;
};
constexpr nic_result kOk{-1, 0};
constexpr nic_result fail(int dl_errno, int unix_errno = 0)
{
    return {dl_errno, unix_errno};
}

// A handler: called with ns->lock held; on success *ackp is the acknowledgement to send
// upstream (or NULL when the primitive has none) and the request is freed by the dispatcher.
using nic_req_fn = nic_result (*)(nic_stream *ns, mblk_t *mp, mblk_t **ackp);

nic_result nic_info_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp);
nic_result nic_attach_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp);
nic_result nic_detach_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp);
nic_result nic_bind_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp);
nic_result nic_unbind_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp);
nic_result nic_phys_addr_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp);
nic_result nic_multi_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp);
nic_result nic_unitdata_req_h(nic_stream *ns, mblk_t *mp, mblk_t **ackp);

// An acknowledgement block of len bytes, zeroed, of the given type.
mblk_t *nic_ack_alloc(size_t len, unsigned char type)
{
    mblk_t *ack = allocb(len, BPRI_HI);
    if (!ack)
        return nullptr;
    std::memset(ack->b_rptr, 0, len);
    ack->b_wptr = ack->b_rptr + len;
    DB_TYPE(ack) = type;
    return ack;
}

nic_result nic_ok_ack(t_uscalar_t prim, mblk_t **ackp)
{
    mblk_t *ack = nic_ack_alloc(DL_OK_ACK_SIZE, M_PCPROTO);
    if (!ack)
        return fail(DL_SYSERR, ENOMEM);
    auto *ok = reinterpret_cast<dl_ok_ack_t *>(ack->b_rptr);
    ok->dl_primitive = DL_OK_ACK;
    ok->dl_correct_primitive = prim;
    *ackp = ack;
    return kOk;
}

// The stream's DLSAP address: MAC then SAP (host order, as the SAP is a DLPI word).
void nic_put_dlsap(std::uint8_t *p, const MacAddr &mac, std::uint16_t sap)
{
    std::memcpy(p, mac.data(), kEtherAddrLen);
    std::memcpy(p + kEtherAddrLen, &sap, sizeof sap);
}

nic_result nic_info_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_INFO_REQ_SIZE))
        return fail(DL_BADPRIM);
    // Any state.
    bool attached = ns->state != DL_UNATTACHED;
    size_t len = DL_INFO_ACK_SIZE + (attached ? kNicDlsapLen : 0) + kEtherAddrLen;
    mblk_t *ack = nic_ack_alloc(len, M_PCPROTO);
    if (!ack)
        return fail(DL_SYSERR, ENOMEM);
    auto *ia = reinterpret_cast<dl_info_ack_t *>(ack->b_rptr);
    ia->dl_primitive = DL_INFO_ACK;
    ia->dl_max_sdu = attached ? ns->nic->mtu : kEtherMtu;
    ia->dl_min_sdu = 1;
    ia->dl_addr_length = kNicDlsapLen;
    ia->dl_mac_type = DL_ETHER;
    ia->dl_current_state = ns->state;
    ia->dl_sap_length = -2;
    ia->dl_service_mode = DL_CLDLS;
    ia->dl_provider_style = ns->drv->style == 1 ? DL_STYLE1 : DL_STYLE2;
    ia->dl_version = DL_VERSION_2;
    t_uscalar_t off = DL_INFO_ACK_SIZE;
    if (attached) {
        ia->dl_addr_offset = off;
        nic_put_dlsap(ack->b_rptr + off, ns->nic->mac_addr, ns->state == DL_IDLE ? ns->sap : 0);
        off += kNicDlsapLen;
    }
    ia->dl_brdcst_addr_length = kEtherAddrLen;
    ia->dl_brdcst_addr_offset = off;
    std::memcpy(ack->b_rptr + off, kBroadcastMac.data(), kEtherAddrLen);
    *ackp = ack;
    return kOk;
}

nic_result nic_attach_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_ATTACH_REQ_SIZE))
        return fail(DL_BADPRIM);
    if (ns->state != DL_UNATTACHED)
        return fail(DL_OUTSTATE);
    auto *req = reinterpret_cast<dl_attach_req_t *>(mp->b_rptr);
    NicInstance *nic = ns->drv->find_ppa(req->dl_ppa);
    if (!nic)
        return fail(DL_BADPPA);
    nic_result r = nic_ok_ack(DL_ATTACH_REQ, ackp);
    if (r.dl_errno >= 0)
        return r;
    ns->nic = nic;
    ns->state = DL_UNBOUND;
    return kOk;
}

nic_result nic_detach_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_DETACH_REQ_SIZE))
        return fail(DL_BADPRIM);
    // A style-1 stream is attached by its open and never detaches.
    if (ns->state != DL_UNBOUND || ns->drv->style == 1)
        return fail(DL_OUTSTATE);
    nic_result r = nic_ok_ack(DL_DETACH_REQ, ackp);
    if (r.dl_errno >= 0)
        return r;
    ns->nic = nullptr;
    ns->state = DL_UNATTACHED;
    return kOk;
}

nic_result nic_bind_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_BIND_REQ_SIZE))
        return fail(DL_BADPRIM);
    if (ns->state != DL_UNBOUND)
        return fail(DL_OUTSTATE);
    auto *req = reinterpret_cast<dl_bind_req_t *>(mp->b_rptr);
    // Ethernet II: the SAP is an EtherType, above the largest 802.3 length.
    if (req->dl_sap <= kEtherMtu || req->dl_sap > 0xffff)
        return fail(DL_BADSAP);
    if (req->dl_service_mode != 0 && !(req->dl_service_mode & DL_CLDLS))
        return fail(DL_UNSUPPORTED);
    mblk_t *ack = nic_ack_alloc(DL_BIND_ACK_SIZE + kNicDlsapLen, M_PCPROTO);
    if (!ack)
        return fail(DL_SYSERR, ENOMEM);
    auto sap = static_cast<std::uint16_t>(req->dl_sap);
    auto *ba = reinterpret_cast<dl_bind_ack_t *>(ack->b_rptr);
    ba->dl_primitive = DL_BIND_ACK;
    ba->dl_sap = sap;
    ba->dl_addr_length = kNicDlsapLen;
    ba->dl_addr_offset = DL_BIND_ACK_SIZE;
    nic_put_dlsap(ack->b_rptr + DL_BIND_ACK_SIZE, ns->nic->mac_addr, sap);
    {
        std::lock_guard b(ns->nic->bind_lock);
        ns->sap = sap;
        ns->nic->bound.push_back(ns);
    }
    ns->state = DL_IDLE;
    *ackp = ack;
    return kOk;
}

nic_result nic_unbind_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_UNBIND_REQ_SIZE))
        return fail(DL_BADPRIM);
    if (ns->state != DL_IDLE)
        return fail(DL_OUTSTATE);
    nic_result r = nic_ok_ack(DL_UNBIND_REQ, ackp);
    if (r.dl_errno >= 0)
        return r;
    nic_unbind_locked(ns);
    return kOk;
}

nic_result nic_phys_addr_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_PHYS_ADDR_REQ_SIZE))
        return fail(DL_BADPRIM);
    if (ns->state == DL_UNATTACHED)
        return fail(DL_OUTSTATE);
    mblk_t *ack = nic_ack_alloc(DL_PHYS_ADDR_ACK_SIZE + kEtherAddrLen, M_PCPROTO);
    if (!ack)
        return fail(DL_SYSERR, ENOMEM);
    auto *pa = reinterpret_cast<dl_phys_addr_ack_t *>(ack->b_rptr);
    pa->dl_primitive = DL_PHYS_ADDR_ACK;
    pa->dl_addr_length = kEtherAddrLen;
    pa->dl_addr_offset = DL_PHYS_ADDR_ACK_SIZE;
    std::memcpy(ack->b_rptr + DL_PHYS_ADDR_ACK_SIZE, ns->nic->mac_addr.data(), kEtherAddrLen);
    *ackp = ack;
    return kOk;
}

nic_result nic_multi_req(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_ENABMULTI_REQ_SIZE))
        return fail(DL_BADPRIM);
    if (ns->state == DL_UNATTACHED)
        return fail(DL_OUTSTATE);
    auto *req = reinterpret_cast<dl_enabmulti_req_t *>(mp->b_rptr);
    if (req->dl_addr_length != kEtherAddrLen ||
        req->dl_addr_offset + std::uint64_t{kEtherAddrLen} >
            static_cast<std::uint64_t>(MBLKL(mp)) ||
        !mac_is_group(mp->b_rptr + req->dl_addr_offset))
        return fail(DL_BADADDR);
    return nic_ok_ack(req->dl_primitive, ackp);
}

nic_result nic_unitdata_req_h(nic_stream *ns, mblk_t *mp, mblk_t **ackp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(DL_UNITDATA_REQ_SIZE))
        return fail(DL_BADPRIM);
    if (ns->state != DL_IDLE)
        return fail(DL_OUTSTATE);
    *ackp = nullptr;
    auto *req = reinterpret_cast<dl_unitdata_req_t *>(mp->b_rptr);
    if ((req->dl_dest_addr_length != kNicDlsapLen && req->dl_dest_addr_length != kEtherAddrLen) ||
        req->dl_dest_addr_offset + std::uint64_t{req->dl_dest_addr_length} >
            static_cast<std::uint64_t>(MBLKL(mp)))
        return fail(DL_BADADDR);
    const std::uint8_t *dst = mp->b_rptr + req->dl_dest_addr_offset;
    std::uint16_t type = ns->sap;
    if (req->dl_dest_addr_length == kNicDlsapLen)
        std::memcpy(&type, dst + kEtherAddrLen, sizeof type);
    int err = nic_transmit_unitdata(ns, dst, type, mp->b_cont);
    if (err)
        return fail(DL_BADDATA);
    return kOk;
}

// Known primitives this provider does not offer answer DL_NOTSUPPORTED; others DL_BADPRIM.
bool nic_known_primitive(t_uscalar_t prim)
{
    return (prim <= DL_GET_STATISTICS_ACK && prim != 0x16) ||
           (prim >= DL_NOTIFY_REQ && prim <= DL_UNAGGR_REQ) ||
           (prim >= DL_CAPABILITY_REQ && prim <= DL_INTR_MODE_REQ);
}

// The one error exit: the request's block becomes the error acknowledgement when it is big
// enough, else a new block is allocated; if neither is possible the request is dropped.
void nic_error_ack(queue_t *wq, mblk_t *mp, t_uscalar_t prim, nic_result r)
{
    bool unitdata = prim == DL_UNITDATA_REQ;
    size_t len = unitdata ? DL_UDERROR_IND_SIZE : DL_ERROR_ACK_SIZE;
    unsigned char type = unitdata ? M_PROTO : M_PCPROTO;
    mblk_t *ack;
    if (DB_REF(mp) == 1 && DB_LIM(mp) - DB_BASE(mp) >= static_cast<ssize_t>(len)) {
        if (mp->b_cont) {
            freemsg(mp->b_cont);
            mp->b_cont = nullptr;
        }
        ack = mp;
        ack->b_rptr = DB_BASE(ack);
        ack->b_wptr = ack->b_rptr + len;
        std::memset(ack->b_rptr, 0, len);
        DB_TYPE(ack) = type;
    } else {
        freemsg(mp);
        ack = nic_ack_alloc(len, type);
        if (!ack)
            return;
    }
    if (unitdata) {
        auto *ue = reinterpret_cast<dl_uderror_ind_t *>(ack->b_rptr);
        ue->dl_primitive = DL_UDERROR_IND;
        ue->dl_errno = static_cast<t_uscalar_t>(r.dl_errno);
        ue->dl_unix_errno = static_cast<t_uscalar_t>(r.unix_errno);
    } else {
        auto *ea = reinterpret_cast<dl_error_ack_t *>(ack->b_rptr);
        ea->dl_primitive = DL_ERROR_ACK;
        ea->dl_error_primitive = prim;
        ea->dl_errno = static_cast<t_uscalar_t>(r.dl_errno);
        ea->dl_unix_errno = static_cast<t_uscalar_t>(r.unix_errno);
    }
    qreply(wq, ack);
}

} // namespace

/*
 * nic_proto - DLPI dispatcher (M_PROTO / M_PCPROTO on the write side)
 * Context: write-side put procedure (sender's thread). Takes ns->lock around the handler.
 * Consumes mp: freed, reused for the error acknowledgement, or (DL_UNITDATA_REQ) sent.
 */
void nic_proto(nic_stream *ns, queue_t *wq, mblk_t *mp)
{
    if (MBLKL(mp) < static_cast<ssize_t>(sizeof(t_uscalar_t))) {
        nic_error_ack(wq, mp, DL_PRIM_INVAL, fail(DL_BADPRIM));
        return;
    }
    t_uscalar_t prim;
    std::memcpy(&prim, mp->b_rptr, sizeof prim);
    nic_req_fn fn = nullptr;
    switch (prim) {
    case DL_INFO_REQ:
        fn = nic_info_req;
        break;
    case DL_ATTACH_REQ:
        fn = nic_attach_req;
        break;
    case DL_DETACH_REQ:
        fn = nic_detach_req;
        break;
    case DL_BIND_REQ:
        fn = nic_bind_req;
        break;
    case DL_UNBIND_REQ:
        fn = nic_unbind_req;
        break;
    case DL_PHYS_ADDR_REQ:
        fn = nic_phys_addr_req;
        break;
    case DL_ENABMULTI_REQ:
    case DL_DISABMULTI_REQ:
        fn = nic_multi_req;
        break;
    case DL_UNITDATA_REQ:
        fn = nic_unitdata_req_h;
        break;
    default:
        nic_error_ack(wq, mp, prim, fail(nic_known_primitive(prim) ? DL_NOTSUPPORTED : DL_BADPRIM));
        return;
    }
    mblk_t *ack = nullptr;
    nic_result r;
    {
        std::lock_guard s(ns->lock);
        r = fn(ns, mp, &ack);
    }
    if (r.dl_errno >= 0) {
        nic_error_ack(wq, mp, prim, r);
        return;
    }
    freemsg(mp);
    if (ack)
        qreply(wq, ack);
}

void nic_unbind_locked(nic_stream *ns)
{
    {
        std::lock_guard b(ns->nic->bind_lock);
        auto &v = ns->nic->bound;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (*it == ns) {
                v.erase(it);
                break;
            }
        }
    }
    ns->fastpath.store(false, std::memory_order_relaxed);
    ns->state = DL_UNBOUND;
}

/*
 * nic_ioctl - M_IOCTL on the write side
 * DL_IOC_HDR_INFO: b_cont holds a dl_unitdata_req_t with the destination; the answer is
 *   M_IOCACK with the ready-made 14-byte link header appended to b_cont, and the stream is in
 *   the fast path from then on (frames up as bare M_DATA, down as M_DATA with header).
 *   EINVAL when the stream is not bound or the request is malformed; ENOMEM.
 * Every other ioctl is answered M_IOCNAK EINVAL (the driver is the end of the stream).
 * Context: write-side put procedure. Takes ns->lock to read the binding.
 */
void nic_ioctl(nic_stream *ns, queue_t *wq, mblk_t *mp)
{
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    int error = EINVAL;
    mblk_t *req = mp->b_cont;
    if (ioc->ioc_cmd == DL_IOC_HDR_INFO && req &&
        MBLKL(req) >= static_cast<ssize_t>(DL_UNITDATA_REQ_SIZE)) {
        auto *ud = reinterpret_cast<dl_unitdata_req_t *>(req->b_rptr);
        std::unique_lock s(ns->lock);
        bool ok =
            ns->state == DL_IDLE &&
            (ud->dl_dest_addr_length == kNicDlsapLen || ud->dl_dest_addr_length == kEtherAddrLen) &&
            ud->dl_dest_addr_offset + std::uint64_t{ud->dl_dest_addr_length} <=
                static_cast<std::uint64_t>(MBLKL(req));
        if (ok) {
            mblk_t *hdr = allocb(kEtherHeaderLen, BPRI_HI);
            if (!hdr) {
                error = ENOMEM;
            } else {
                std::uint8_t *h = hdr->b_wptr;
                std::memcpy(h, req->b_rptr + ud->dl_dest_addr_offset, kEtherAddrLen);
                std::memcpy(h + kEtherAddrLen, ns->nic->mac_addr.data(), kEtherAddrLen);
                put_be16(h + kEtherTypeOffset, ns->sap);
                hdr->b_wptr += kEtherHeaderLen;
                ns->fastpath.store(true, std::memory_order_relaxed);
                s.unlock();
                linkb(mp, hdr);
                DB_TYPE(mp) = M_IOCACK;
                ioc->ioc_count = msgdsize(mp->b_cont);
                ioc->ioc_error = 0;
                ioc->ioc_rval = 0;
                qreply(wq, mp);
                return;
            }
        }
    }
    DB_TYPE(mp) = M_IOCNAK;
    ioc->ioc_count = 0;
    ioc->ioc_error = error;
    ioc->ioc_rval = -1;
    qreply(wq, mp);
}

} // namespace platform::net
