/*
 * The put procedures of nvx.
 *
 * - nvx_rput: read side of a module instance, in the interface driver's receive context
 *   (interrupt context). DL_BIND_ACK, DL_INFO_ACK and DL_UNITDATA_IND go to their handlers,
 *   bare M_DATA frames to the capture decision; everything else passes up.
 * - nvx_wput: write side. On a device stream (no queue below) the library's requests; on a
 *   module instance DL_ATTACH_REQ and DL_UNBIND_REQ go to their handlers, bare M_DATA frames
 *   (the fast path) to the capture decision, everything else (DL_UNITDATA_REQ, M_IOCTL,
 *   M_FLUSH ...) passes down.
 * - No lock is held when a disposition is applied, so a putnext that comes straight back into
 *   the driver finds no lock of ours held.
 */
#include "nvxput.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */

#include "nvxioctl.h"
#include "nvxsession.h"

#include <sys/cmn_err.h>
#include <sys/dlpi.h>
#include <sys/stream.h>

#include <string.h>

static inline unsigned long ulp(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

/* The DLPI primitive of a protocol message; 0 when the block cannot hold one (a message that
 * short is no primitive we act on, so it is passed on untouched). */
static int dlpi_primitive(mblk_t *mp, U32 *prim)
{
    if (mp->b_wptr < mp->b_rptr || static_cast<size_t>(MBLKL(mp)) < sizeof(U32))
        return 0;
    memcpy(prim, mp->b_rptr, sizeof(*prim));
    return 1;
}

/* Applies a handler's disposition to mp on q (no driver lock held). */
static void dispose(queue_t *q, mblk_t *mp, int rc, int readSide)
{
    switch (rc) {
    case RC_QUEUED: /* the capture engine holds it */
        return;
    case RC_FREE:
        freemsg(mp);
        return;
    case RC_BUFFER_FULL:
        if (readSide)
            _dlprintf(16, "nvx_rput: capture buffer full (q=0x%lx), forwarding packet\n", ulp(q));
        else
            _dlprintf(16, "nvx_wput: capture buffer full (q=0x%lx), forwarding packet\n", ulp(q));
        break;
    default: /* RC_FORWARD; a value no handler returns passes the message on too */
        break;
    }
    putnext(q, mp);
    __atomic_fetch_add(&totalPut, 1, __ATOMIC_RELAXED);
}

/* The read side's protocol primitives: acknowledgements the driver learns from, and frames. */
static int read_side_primitive(queue_t *q, mblk_t *mp, U32 prim)
{
    switch (prim) {
    case DL_BIND_ACK:
        return nvx_bind_ack(q, mp);
    case DL_INFO_ACK:
        return nvx_info_ack(q, mp);
    case DL_UNITDATA_IND:
        return nvx_unitdata_ind(q, mp);
    default:
        return RC_FORWARD;
    }
}

/* The write side's: the requests that change the binding (DL_UNITDATA_REQ is not captured). */
static int write_side_primitive(queue_t *q, mblk_t *mp, U32 prim)
{
    switch (prim) {
    case DL_UNBIND_REQ:
        return nvx_unbind_req(q, mp);
    case DL_ATTACH_REQ:
        return nvx_attach_req(q, mp);
    default:
        return RC_FORWARD;
    }
}

/* The disposition of a message on a module instance's side dir (DIR_INBOUND: read side). */
static int module_disposition(queue_t *q, mblk_t *mp, int dir)
{
    void (*dump_packet)(queue_t *, mblk_t *) =
        dir == DIR_INBOUND ? DumpInboundPacket : DumpOutboundPacket;
    U32 prim = 0;
    switch (DB_TYPE(mp)) {
    case M_PROTO:
    case M_PCPROTO:
        if (!dlpi_primitive(mp, &prim))
            return RC_FORWARD;
        if (_dlevel(4096))
            dump_dlpi(prim, q);
        if (_dlevel(256))
            dump_packet(q, mp);
        return dir == DIR_INBOUND ? read_side_primitive(q, mp, prim)
                                  : write_side_primitive(q, mp, prim);
    case M_DATA:
        if (_dlevel(256))
            dump_packet(q, mp);
        return nvx_data(q, mp, dir, 0);
    default: /* M_IOCTL, M_FLUSH and the rest */
        return RC_FORWARD;
    }
}

int nvx_rput(queue_t *q, mblk_t *mp)
{
    _dlprintf(16, "nvx_rput: q=%lx mp=%lx type=%d\n", ulp(q), ulp(mp), DB_TYPE(mp));
    const int rc = module_disposition(q, mp, DIR_INBOUND);
    _dlprintf(16, "nvx_rput: rc=%d\n", rc);
    dispose(q, mp, rc, 1);
    return 0;
}

int nvx_wput(queue_t *q, mblk_t *mp)
{
    _dlprintf(16, "nvx_wput: q=%lx mp=%lx type=%d\n", ulp(q), ulp(mp), DB_TYPE(mp));
    if (q->q_next == nullptr)
        return nvx_drv_wput(q, mp);
    const int rc = module_disposition(q, mp, DIR_OUTBOUND);
    _dlprintf(16, "nvx_wput: rc=%d\n", rc);
    dispose(q, mp, rc, 0);
    return 0;
}

int nvx_drv_wput(queue_t *q, mblk_t *mp)
{
    switch (DB_TYPE(mp)) {
    case M_IOCTL:
        (void)nvx_ioctl(q, mp);
        break;
    case M_PROTO:
    case M_PCPROTO:
        (void)nvx_read(q, mp);
        freemsg(mp);
        break;
    default:
        _dprintf("nvx_drv_wput: unknown message type %x\n", DB_TYPE(mp));
        freemsg(mp);
        break;
    }
    return 0;
}
