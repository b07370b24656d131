/*
 * Following the DLPI conversation of a module instance just far enough to know its adapter:
 * DL_ATTACH_REQ (the ppa of a style-2 interface), DL_BIND_ACK from IP or ARP (ask the interface
 * for its description, or bind at once when the adapter slot is already known), DL_INFO_ACK
 * (register the adapter and bind) and DL_UNBIND_REQ (unbind); DL_UNITDATA_IND frames go to the
 * capture decision. Also the put procedures' diagnostics.
 *
 * - Binding states of a module instance: new (index MAX_PPA) -> info pending -> bound (on the
 *   list, counted in bndcnt, openInfo = the slot's adapter record) -> known (slot kept) after
 *   DL_UNBIND_REQ, from which the next DL_BIND_ACK binds directly.
 * - Context: read side handlers in interface receive context, write side in the sender's;
 *   nothing sleeps, the information request is allocated without sleeping.
 * - Locks: binding flags, index, dl_ppa, openInfo and bndcnt change under nvx_rwlock (writer);
 *   the binding list changes inside it under nvx_bindlock (writer), so that a binding is on
 *   the list exactly while it is bound and set_binding always sees every bound instance (an
 *   adapter record can never stay behind in an openInfo after its adapter closed).
 */
#include "nvxput.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */

#include "dumpmbuf.h"
#include "nvxbind.h"
#include "nvxppa.h"

#include <sys/cmn_err.h>
#include <sys/dlpi.h>
#include <sys/kproc.h>
#include <sys/stream.h>

#include <string.h>

static inline unsigned long ulp(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

static BindingInfo *binding_of(queue_t *q)
{
    return static_cast<BindingInfo *>(q->q_ptr);
}

static size_t block_length(const mblk_t *mp)
{
    return mp->b_wptr < mp->b_rptr ? 0 : static_cast<size_t>(mp->b_wptr - mp->b_rptr);
}

/* Name of the module above a module instance's read queue, "" when there is none. */
static const char *upper_module_name(queue_t *rq)
{
    queue_t *up = rq->q_next;
    if (up == nullptr || up->q_qinfo == nullptr || up->q_qinfo->qi_minfo == nullptr ||
        up->q_qinfo->qi_minfo->mi_idname == nullptr)
        return "";
    return up->q_qinfo->qi_minfo->mi_idname;
}

/* Binds a module instance whose slot is known (nvx_rwlock held as writer). */
static void bind_locked(BindingInfo *bip)
{
    nvx_ppaInfo *slot = &ppaList[bip->index];
    bip->ulFlags |= BIND_BOUND;
    bip->openInfo = slot->gip;
    slot->bndcnt++;
    rw_enter(&nvx_bindlock, RW_WRITER);
    add_binding_locked(bip);
    rw_exit(&nvx_bindlock);
}

/* The bind and unbind trace line (only built while tracing is on). */
static void trace_binding(const char *what, queue_t *q, BindingInfo *bip)
{
    if (!_dtracing())
        return;
    rw_enter(&nvx_rwlock, RW_READER);
    char name[NVX_DEVICENAME_LEN];
    memcpy(name, bip->ppaname, sizeof(name));
    name[sizeof(name) - 1] = '\0';
    const int bndcnt = bip->index < MAX_PPA ? static_cast<int>(ppaList[bip->index].bndcnt) : 0;
    rw_exit(&nvx_rwlock);
    _dlprintf(4096, "%s %s q %lx bip %lx pid %d mod_name %s bndcnt %d\n", what, name, ulp(q),
              ulp(bip), static_cast<int>(ddi_get_pid()), upper_module_name(RD(q)), bndcnt);
}

int nvx_bind_ack(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = binding_of(q);
    if (block_length(mp) < DL_BIND_ACK_SIZE) {
        printf("nvx_bind_ack: DL_BIND_ACK protocol error\n");
        return RC_FREE;
    }
    const char *upper = upper_module_name(q);
    if (strcmp(upper, "ip") != 0 && strcmp(upper, "arp") != 0)
        return RC_FORWARD;

    rw_enter(&nvx_rwlock, RW_WRITER);
    if ((bip->ulFlags & BIND_BOUND) == 0 && bip->index < MAX_PPA) {
        /* Known from an earlier DL_INFO_ACK on this stream: bind without asking again. */
        bind_locked(bip);
        rw_exit(&nvx_rwlock);
        return RC_FORWARD;
    }
    rw_exit(&nvx_rwlock);

    mblk_t *req = allocb(DL_INFO_ACK_SIZE, BPRI_HI);
    if (req == nullptr) {
        printf("nvx_bind_ack: allocb failed\n");
        return RC_FORWARD;
    }
    req->b_datap->db_type = M_PCPROTO;
    const U32 prim = DL_INFO_REQ;
    memcpy(req->b_wptr, &prim, sizeof(prim));
    req->b_wptr += sizeof(prim);
    rw_enter(&nvx_rwlock, RW_WRITER);
    bip->ulFlags |= BIND_INFO_PENDING;
    rw_exit(&nvx_rwlock);
    putnext(WR(q), req);
    trace_binding("DL_BIND_ACK", q, bip);
    return RC_FORWARD;
}

int nvx_info_ack(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = binding_of(q);
    _dlprintf(4096, "nvx_info_ack: q=%lx mp=%lx\n", ulp(q), ulp(mp));
    if (block_length(mp) < DL_INFO_ACK_SIZE) {
        printf("nvx_info_ack: DL_INFO_ACK protocol error\n");
        return RC_FREE;
    }
    rw_enter(&nvx_rwlock, RW_WRITER);
    if ((bip->ulFlags & BIND_INFO_PENDING) == 0) {
        /* Somebody else's request (IP's own): theirs to see. */
        rw_exit(&nvx_rwlock);
        return RC_FORWARD;
    }
    bip->ulFlags &= ~static_cast<U32>(BIND_INFO_PENDING);
    rw_exit(&nvx_rwlock);

    const U32 index = add_ppa(q, bip, mp);
    rw_enter(&nvx_rwlock, RW_WRITER);
    if ((bip->ulFlags & BIND_BOUND) == 0) {
        bip->index = index;
        if (index < MAX_PPA)
            bind_locked(bip);
    }
    /* A bound instance keeps its slot: its count belongs to that slot. */
    rw_exit(&nvx_rwlock);
    return RC_FREE; /* our own request's answer never reaches the protocol stack */
}

int nvx_unitdata_ind(queue_t *q, mblk_t *mp)
{
    if (block_length(mp) < DL_UNITDATA_IND_SIZE || mp->b_cont == nullptr) {
        printf("nvx_unitdata_ind: DL_UNITDATA_IND protocol error\n");
        return RC_FREE;
    }
    if (DB_TYPE(mp->b_cont) != M_DATA) {
        printf("nvx_unitdata_ind: M_PROTO request was not followed up with M_DATA packet\n");
        return RC_FORWARD;
    }
    return nvx_data(q, mp, DIR_INBOUND, 1);
}

int nvx_attach_req(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = binding_of(q);
    _dlprintf(4096, "nvx_attach_req(%lx,%lx)\n", ulp(q), ulp(mp));
    if (block_length(mp) < DL_ATTACH_REQ_SIZE) {
        printf("nvx_attach_req: DL_ATTACH_REQ protocol error\n");
        return RC_FREE;
    }
    dl_attach_req_t req;
    memcpy(&req, mp->b_rptr, sizeof(req));
    rw_enter(&nvx_rwlock, RW_WRITER);
    bip->dl_ppa = static_cast<U32>(req.dl_ppa);
    rw_exit(&nvx_rwlock);
    return RC_FORWARD;
}

int nvx_unbind_req(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = binding_of(q);
    _dlprintf(4096, "nvx_unbind_req(%lx,%lx)\n", ulp(q), ulp(mp));
    if (block_length(mp) < DL_UNBIND_REQ_SIZE) {
        printf("nvx_unbind_req: DL_UNBIND_REQ protocol error\n");
        return RC_FREE;
    }
    rw_enter(&nvx_rwlock, RW_WRITER);
    if ((bip->ulFlags & BIND_BOUND) != 0) {
        rw_enter(&nvx_bindlock, RW_WRITER);
        (void)remove_binding_locked(bip);
        rw_exit(&nvx_bindlock);
        bip->ulFlags &= ~static_cast<U32>(BIND_BOUND);
        bip->openInfo = nullptr;
        ppaList[bip->index].bndcnt--;
        /* index stays: the next DL_BIND_ACK binds again without asking the interface. */
    }
    rw_exit(&nvx_rwlock);
    trace_binding("DL_UNBIND_REQ", q, bip);
    return RC_FORWARD;
}

void dump_dlpi(U32 opcode, queue_t *q)
{
    const unsigned long qa = ulp(q);
    switch (opcode) {
    case DL_INFO_REQ:
        _dprintf("INFO_REQ received, q: %lx\n", qa);
        break;
    case DL_BIND_REQ:
        _dprintf("BIND REQ received, q: %lx\n", qa);
        break;
    case DL_UNBIND_REQ:
        _dprintf("UNBIND REQ received, q: %lx\n", qa);
        break;
    case DL_INFO_ACK:
        _dprintf("INFO_ACK received, q: %lx\n", qa);
        break;
    case DL_BIND_ACK:
        _dprintf("BIND_ACK received, q: %lx\n", qa);
        break;
    case DL_UNITDATA_REQ:
        _dprintf("DL_UNITDATA_REQ received, q: %lx\n", qa);
        break;
    case DL_UNITDATA_IND:
        _dprintf("DL_UNITDATA_IND received, q: %lx\n", qa);
        break;
    case DL_ATTACH_REQ:
        _dprintf("ATTACH_REQ received, q: %lx\n", qa);
        break;
    case DL_DETACH_REQ:
        _dprintf("DETACH_REQ received, q: %lx\n", qa);
        break;
    case DL_SUBS_UNBIND_REQ:
        _dprintf("SUBS UNBIND REQ received, q: %lx\n", qa);
        break;
    case DL_SUBS_BIND_REQ:
        _dprintf("SUBS BIND REQ received, q: %lx\n", qa);
        break;
    default:
        _dprintf("DLPI primitive 0x%x received, q: %lx\n", opcode, qa);
        break;
    }
}

void DumpInboundPacket(queue_t *q, mblk_t *mp)
{
    printf(">>> INBOUND PACKET <<<\n");
    dumpmbuf(q, mp, nullptr, DIR_INBOUND);
}

void DumpOutboundPacket(queue_t *q, mblk_t *mp)
{
    printf(">>> OUTBOUND PACKET <<<\n");
    dumpmbuf(q, mp, nullptr, DIR_OUTBOUND);
}
