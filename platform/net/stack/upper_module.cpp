/*
 * "ip" and "arp": upper modules of the emulated host stack.
 *
 * Contract:
 * - Write side: M_IOCTL UPPER_IOC_PLUMB / UPPER_IOC_UNPLUMB start the DLPI dialogue (one at a
 *   time; EBUSY while one is running); everything else passes down.
 * - Read side: while a dialogue runs, the DLPI acknowledgements and the fast-path M_IOCACK /
 *   M_IOCNAK it waits for are consumed. Once plumbed, frames (fast-path M_DATA, or
 *   DL_UNITDATA_IND followed by M_DATA) go to the stream's UpperLink, which counts, keeps or
 *   bridges them; nothing else is passed up except unrelated messages (passed on).
 * - Context: the write side runs in the plumbing thread; the read side in the provider's
 *   contexts (the same thread for acknowledgements, the NIC's receive thread for frames).
 * - State: one record per instance; the dialogue fields are touched only by the write-side
 *   plumb request and the read-side acknowledgements it triggers, which the stream head
 *   serialises (one ioctl at a time) and the provider answers in order; the frame path reads
 *   only the link pointer, set when the plumb request starts the dialogue (the provider may send
 *   frames up as soon as it has bound the stream) and cleared before the unbind or when the
 *   plumb fails; sending down starts only when the plumb is acknowledged.
 */
#include "stack/upper_module.h"

#include "frame/ether.h"
#include "stack/upper_link.h"
#include "streams/modules.h"

#include <sys/conf.h>
#include <sys/dlpi.h>
#include <sys/modctl.h>
#include <sys/sunddi.h>
#include <sys/stream.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform::net
{

namespace
{

enum class Step { idle, info1, attach, bind, info2, hdrinfo, unbind, detach };

struct upper_state {
    queue_t *rq;
    std::uint16_t sap;   // i: 0x0800 ip, 0x0806 arp
    bool wants_fastpath; // i: ip
    Step step = Step::idle;
    mblk_t *ioctl = nullptr; // the plumb / unplumb request being served
    upper_plumb_req req{};
    std::atomic<UpperLink *> link{
        nullptr}; // release at the plumb request; acquire in the frame path
};

int upper_open(queue_t *rq, dev_t *devp, int oflag, int sflag, cred_t *cr);
int upper_close(queue_t *rq, int oflag, cred_t *cr);
int upper_rput(queue_t *q, mblk_t *mp);
int upper_wput(queue_t *q, mblk_t *mp);

struct module_info ip_minfo = {
    0x4950, // mi_idnum
    "ip",   // mi_idname
    0,      // mi_minpsz
    INFPSZ, // mi_maxpsz
    65536,  // mi_hiwat
    1024,   // mi_lowat
};
struct module_info arp_minfo = {
    0x4152, // mi_idnum
    "arp",  // mi_idname
    0,      // mi_minpsz
    INFPSZ, // mi_maxpsz
    65536,  // mi_hiwat
    1024,   // mi_lowat
};

#define UPPER_QINITS(pfx)                                                                          \
    struct qinit pfx##_rinit = {                                                                   \
        upper_rput,       /* qi_putp */                                                            \
        nullptr,          /* qi_srvp */                                                            \
        upper_open,       /* qi_qopen */                                                           \
        upper_close,      /* qi_qclose */                                                          \
        nullptr,          /* qi_qadmin */                                                          \
        &pfx##_minfo,     /* qi_minfo */                                                           \
        nullptr,          /* qi_mstat */                                                           \
        nullptr,          /* qi_rwp */                                                             \
        nullptr,          /* qi_infop */                                                           \
        STRUIOT_DONTCARE, /* qi_struiot */                                                         \
    };                                                                                             \
    struct qinit pfx##_winit = {                                                                   \
        upper_wput,   nullptr, nullptr, nullptr, nullptr,                                          \
        &pfx##_minfo, nullptr, nullptr, nullptr, STRUIOT_DONTCARE,                                 \
    };                                                                                             \
    struct streamtab pfx##_tab = {&pfx##_rinit, &pfx##_winit, nullptr, nullptr};                   \
    struct fmodsw pfx##_fmodsw = {#pfx, &pfx##_tab, D_MP};                                         \
    struct modlstrmod pfx##_modlstrmod = {&mod_strmodops, #pfx " emulated stack module",           \
                                          &pfx##_fmodsw};                                          \
    struct modlinkage pfx##_modlinkage = {MODREV_1, {&pfx##_modlstrmod, nullptr}};                 \
    int pfx##_init()                                                                               \
    {                                                                                              \
        return mod_install(&pfx##_modlinkage);                                                     \
    }                                                                                              \
    int pfx##_fini()                                                                               \
    {                                                                                              \
        return mod_remove(&pfx##_modlinkage);                                                      \
    }                                                                                              \
    int pfx##_info(struct modinfo *mip)                                                            \
    {                                                                                              \
        return mod_info(&pfx##_modlinkage, mip);                                                   \
    }

UPPER_QINITS(ip)
UPPER_QINITS(arp)

int upper_open(queue_t *rq, dev_t *, int, int sflag, cred_t *)
{
    if (rq->q_ptr)
        return 0;
    if (sflag != MODOPEN)
        return EINVAL;
    auto *st = new (std::nothrow) upper_state;
    if (!st)
        return ENOMEM;
    st->rq = rq;
    bool ip = rq->q_qinfo == &ip_rinit;
    st->sap = ip ? kEtherTypeIpv4 : kEtherTypeArp;
    st->wants_fastpath = ip;
    rq->q_ptr = st;
    WR(rq)->q_ptr = st;
    qprocson(rq);
    return 0;
}

int upper_close(queue_t *rq, int, cred_t *)
{
    auto *st = static_cast<upper_state *>(rq->q_ptr);
    if (UpperLink *l = st->link.load(std::memory_order_acquire))
        l->detach(); // no send uses our write queue after this
    qprocsoff(rq);
    if (st->ioctl)
        freemsg(st->ioctl);
    rq->q_ptr = nullptr;
    WR(rq)->q_ptr = nullptr;
    delete st;
    return 0;
}

// Sends a DLPI request of len bytes (zeroed, primitive set) down; false if allocb failed.
bool upper_send_dl(upper_state *st, t_uscalar_t prim, std::size_t len, unsigned char type,
                   void (*fill)(upper_state *, std::uint8_t *) = nullptr)
{
    mblk_t *mp = allocb(len, BPRI_HI);
    if (!mp)
        return false;
    std::memset(mp->b_rptr, 0, len);
    std::memcpy(mp->b_rptr, &prim, sizeof prim);
    if (fill)
        fill(st, mp->b_rptr);
    mp->b_wptr = mp->b_rptr + len;
    DB_TYPE(mp) = type;
    putnext(WR(st->rq), mp);
    return true;
}

bool upper_send_hdrinfo(upper_state *st)
{
    mblk_t *mp = allocb(sizeof(struct iocblk), BPRI_HI);
    constexpr std::size_t len = DL_UNITDATA_REQ_SIZE + kEtherAddrLen + 2;
    mblk_t *data = allocb(len, BPRI_HI);
    if (!mp || !data) {
        if (mp)
            freeb(mp);
        if (data)
            freeb(data);
        return false;
    }
    std::memset(mp->b_rptr, 0, sizeof(struct iocblk));
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    ioc->ioc_cmd = DL_IOC_HDR_INFO;
    ioc->ioc_id = 0x75707072; // ours; the stream head never sees the reply
    ioc->ioc_count = len;
    ioc->ioc_flag = IOC_NATIVE;
    mp->b_wptr = mp->b_rptr + sizeof(struct iocblk);
    DB_TYPE(mp) = M_IOCTL;
    std::memset(data->b_rptr, 0, len);
    auto *ud = reinterpret_cast<dl_unitdata_req_t *>(data->b_rptr);
    ud->dl_primitive = DL_UNITDATA_REQ;
    ud->dl_dest_addr_length = kEtherAddrLen + 2;
    ud->dl_dest_addr_offset = DL_UNITDATA_REQ_SIZE;
    std::memcpy(data->b_rptr + DL_UNITDATA_REQ_SIZE, kBroadcastMac.data(), kEtherAddrLen);
    std::memcpy(data->b_rptr + DL_UNITDATA_REQ_SIZE + kEtherAddrLen, &st->sap, 2);
    data->b_wptr = data->b_rptr + len;
    mp->b_cont = data;
    putnext(WR(st->rq), mp);
    return true;
}

// Ends the dialogue: the held plumb/unplumb request is answered.
void upper_finish(upper_state *st, int error)
{
    mblk_t *mp = st->ioctl;
    st->ioctl = nullptr;
    st->step = Step::idle;
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    if (error && ioc->ioc_cmd == UPPER_IOC_PLUMB) {
        // A failed plumb leaves the stream as it was: nothing received through the link.
        if (UpperLink *link = st->link.exchange(nullptr, std::memory_order_acq_rel))
            link->detach();
    }
    if (mp->b_cont) {
        freemsg(mp->b_cont);
        mp->b_cont = nullptr;
    }
    DB_TYPE(mp) = error ? M_IOCNAK : M_IOCACK;
    ioc->ioc_count = 0;
    ioc->ioc_error = error;
    ioc->ioc_rval = error ? -1 : 0;
    putnext(st->rq, mp);
}

void upper_fill_attach(upper_state *st, std::uint8_t *p)
{
    reinterpret_cast<dl_attach_req_t *>(p)->dl_ppa = st->req.ppa;
}
void upper_fill_bind(upper_state *st, std::uint8_t *p)
{
    auto *b = reinterpret_cast<dl_bind_req_t *>(p);
    b->dl_sap = st->sap;
    b->dl_service_mode = DL_CLDLS;
}

// Takes the next step of the dialogue after the current one succeeded.
void upper_advance(upper_state *st)
{
    bool sent = true;
    switch (st->step) {
    case Step::info1:
        if (st->req.style == 2) {
            st->step = Step::attach;
            sent = upper_send_dl(st, DL_ATTACH_REQ, DL_ATTACH_REQ_SIZE, M_PROTO, upper_fill_attach);
            break;
        }
        [[fallthrough]];
    case Step::attach:
        st->step = Step::bind;
        sent = upper_send_dl(st, DL_BIND_REQ, DL_BIND_REQ_SIZE, M_PROTO, upper_fill_bind);
        break;
    case Step::bind:
        st->step = Step::info2;
        sent = upper_send_dl(st, DL_INFO_REQ, DL_INFO_REQ_SIZE, M_PCPROTO);
        break;
    case Step::info2:
        if (st->wants_fastpath) {
            st->step = Step::hdrinfo;
            sent = upper_send_hdrinfo(st);
            break;
        }
        [[fallthrough]];
    case Step::hdrinfo: {
        auto *link = reinterpret_cast<UpperLink *>(static_cast<std::uintptr_t>(st->req.link));
        if (!st->wants_fastpath)
            link->attach(WR(st->rq), false, st->sap);
        return upper_finish(st, 0);
    }
    case Step::unbind:
        if (st->req.style == 2) {
            st->step = Step::detach;
            sent = upper_send_dl(st, DL_DETACH_REQ, DL_DETACH_REQ_SIZE, M_PROTO);
            break;
        }
        [[fallthrough]];
    case Step::detach:
        return upper_finish(st, 0);
    case Step::idle:
        return;
    }
    if (!sent)
        upper_finish(st, ENOMEM);
}

int upper_wput(queue_t *q, mblk_t *mp)
{
    auto *st = static_cast<upper_state *>(q->q_ptr);
    if (DB_TYPE(mp) != M_IOCTL) {
        putnext(q, mp);
        return 0;
    }
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    int cmd = ioc->ioc_cmd;
    if (cmd != UPPER_IOC_PLUMB && cmd != UPPER_IOC_UNPLUMB) {
        putnext(q, mp);
        return 0;
    }
    int error = 0;
    if (st->step != Step::idle) {
        error = EBUSY;
    } else if (cmd == UPPER_IOC_PLUMB) {
        if (!mp->b_cont || MBLKL(mp->b_cont) < static_cast<ssize_t>(sizeof(upper_plumb_req)))
            error = EINVAL;
        else
            std::memcpy(&st->req, mp->b_cont->b_rptr, sizeof st->req);
        if (!error && (st->req.link == 0 || (st->req.style != 1 && st->req.style != 2) ||
                       st->link.load(std::memory_order_relaxed)))
            error = EINVAL;
    } else if (!st->link.load(std::memory_order_relaxed)) {
        error = EINVAL;
    }
    if (error) {
        DB_TYPE(mp) = M_IOCNAK;
        ioc->ioc_error = error;
        ioc->ioc_rval = -1;
        ioc->ioc_count = 0;
        qreply(q, mp);
        return 0;
    }
    st->ioctl = mp;
    if (cmd == UPPER_IOC_PLUMB) {
        // The provider sends frames up as soon as it has bound the stream, before its
        // acknowledgement reaches us: from here they are received (counted, kept, bridged) like
        // every later one. Sending down waits for the end of the dialogue.
        st->link.store(reinterpret_cast<UpperLink *>(static_cast<std::uintptr_t>(st->req.link)),
                       std::memory_order_release);
        st->step = Step::info1;
        if (!upper_send_dl(st, DL_INFO_REQ, DL_INFO_REQ_SIZE, M_PCPROTO))
            upper_finish(st, ENOMEM);
    } else {
        UpperLink *link = st->link.exchange(nullptr, std::memory_order_acq_rel);
        link->detach();
        st->step = Step::unbind;
        if (!upper_send_dl(st, DL_UNBIND_REQ, DL_UNBIND_REQ_SIZE, M_PROTO))
            upper_finish(st, ENOMEM);
    }
    return 0;
}

// A DLPI acknowledgement during the dialogue: true when consumed.
bool upper_dialogue_ack(upper_state *st, mblk_t *mp)
{
    if (st->step == Step::idle || MBLKL(mp) < 4)
        return false;
    t_uscalar_t prim;
    std::memcpy(&prim, mp->b_rptr, sizeof prim);
    bool expected = false;
    switch (st->step) {
    case Step::info1:
    case Step::info2:
        expected = prim == DL_INFO_ACK;
        break;
    case Step::bind:
        expected = prim == DL_BIND_ACK;
        break;
    case Step::attach:
    case Step::unbind:
    case Step::detach:
        expected = prim == DL_OK_ACK;
        break;
    case Step::hdrinfo:
    case Step::idle:
        break;
    }
    if (prim == DL_ERROR_ACK) {
        freemsg(mp);
        upper_finish(st, EPROTO);
        return true;
    }
    if (!expected)
        return false;
    freemsg(mp);
    upper_advance(st);
    return true;
}

int upper_rput(queue_t *q, mblk_t *mp)
{
    auto *st = static_cast<upper_state *>(q->q_ptr);
    switch (DB_TYPE(mp)) {
    case M_DATA:
        if (UpperLink *l = st->link.load(std::memory_order_acquire)) {
            l->received(mp);
            return 0;
        }
        freemsg(mp); // not plumbed yet: nobody above takes frames
        return 0;
    case M_PROTO:
    case M_PCPROTO: {
        t_uscalar_t prim = DL_PRIM_INVAL;
        if (MBLKL(mp) >= 4)
            std::memcpy(&prim, mp->b_rptr, sizeof prim);
        if (prim == DL_UNITDATA_IND) {
            UpperLink *l = st->link.load(std::memory_order_acquire);
            mblk_t *data = mp->b_cont;
            if (l && data && DB_TYPE(data) == M_DATA) {
                mp->b_cont = nullptr;
                freeb(mp);
                l->received(data);
            } else {
                freemsg(mp);
            }
            return 0;
        }
        if (upper_dialogue_ack(st, mp))
            return 0;
        putnext(q, mp);
        return 0;
    }
    case M_IOCACK:
    case M_IOCNAK:
        if (st->step == Step::hdrinfo &&
            reinterpret_cast<struct iocblk *>(mp->b_rptr)->ioc_cmd == DL_IOC_HDR_INFO) {
            bool fast = DB_TYPE(mp) == M_IOCACK;
            freemsg(mp);
            auto *link = reinterpret_cast<UpperLink *>(static_cast<std::uintptr_t>(st->req.link));
            link->attach(WR(q), fast, st->sap);
            upper_advance(st);
            return 0;
        }
        putnext(q, mp);
        return 0;
    default:
        putnext(q, mp);
        return 0;
    }
}

} // namespace

int upper_modules_load()
{
    static std::mutex m;
    static bool loaded = false;
    std::lock_guard l(m);
    if (loaded)
        return 0;
    int err = platform::modules::load_builtin("ip", ip_init, ip_fini, ip_info);
    if (err == 0)
        err = platform::modules::load_builtin("arp", arp_init, arp_fini, arp_info);
    loaded = err == 0;
    return err;
}

} // namespace platform::net
