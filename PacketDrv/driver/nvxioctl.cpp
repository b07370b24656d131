/*
 * The ioctl dispatcher of the device streams, its replies, and the handlers of the driver-wide
 * requests: initialisation, adapter list, ignore entries, bypass, configuration and filters.
 * The adapter requests (open, close) are in nvxadapter.cpp, the session requests in the
 * capture engine (nvxsession.cpp).
 *
 * - Context: the device stream's write put procedure (process context of the library's
 *   thread). One request at a time per stream; several streams at once.
 * - Each request is answered exactly once, here in nvx_ioctl; handlers only return a code.
 *   Reply blocks are allocated without sleeping (BPRI_MED); a failed allocation answers ENOMEM
 *   after the request data has been freed.
 * - Locks: adapter_ioctl takes nvx_rwlock as reader; the filter and flood layers take their
 *   own locks; the dumps take theirs. No lock is held across a reply.
 */
#include "nvxioctl.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */

#include "nvxdump.h"
#include "nvxflood.h"
#include "nvxsession.h"
#include "packetErrors.h"
#include "packetfilter.h"

#include <sys/cmn_err.h>
#include <sys/stream.h>

#include <errno.h>
#include <string.h>

/* TRANSPARENT is spelled with a C cast in the platform header. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
static const size_t kTransparent = TRANSPARENT;
#pragma GCC diagnostic pop

static inline unsigned long ulp(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

/* Frees the request data behind the M_IOCTL block: the reply then carries none. */
static void drop_request(mblk_t *mp)
{
    if (mp->b_cont != nullptr) {
        freemsg(mp->b_cont);
        mp->b_cont = nullptr;
    }
}

/* The request record when its first data block holds at least len bytes, copied to rec. */
enum RecordState { REC_MISSING, REC_SHORT, REC_OK };
static RecordState take_record(mblk_t *mp, void *rec, size_t len)
{
    mblk_t *dp = mp->b_cont;
    if (dp == nullptr)
        return REC_MISSING;
    if (dp->b_wptr < dp->b_rptr || static_cast<size_t>(MBLKL(dp)) < len)
        return REC_SHORT;
    memcpy(rec, dp->b_rptr, len);
    return REC_OK;
}

/* Replaces the request data by a zero-filled reply block of len bytes; 0 when none could be
 * had (the request data is gone either way). */
static mblk_t *reply_block(mblk_t *mp, size_t len)
{
    drop_request(mp);
    mblk_t *rp = allocb(len, BPRI_MED);
    if (rp == nullptr)
        return nullptr;
    memset(rp->b_wptr, 0, len);
    rp->b_wptr += len;
    mp->b_cont = rp;
    return rp;
}

void nvx_iocack(queue_t *q, mblk_t *mp)
{
    _dlprintf(4, "nvx_iocack(%lx,%lx)\n", ulp(q), ulp(mp));
    struct iocblk *iocp = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    mp->b_datap->db_type = M_IOCACK;
    iocp->ioc_error = 0;
    iocp->ioc_count = mp->b_cont != nullptr ? msgdsize(mp->b_cont) : 0;
    qreply(q, mp);
}

void nvx_iocnak(queue_t *q, mblk_t *mp, int error)
{
    _dlprintf(4, "nvx_iocnak(%lx,%lx,%d)\n", ulp(q), ulp(mp), error);
    struct iocblk *iocp = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    mp->b_datap->db_type = M_IOCNAK;
    iocp->ioc_rval = -1;
    iocp->ioc_error = error;
    iocp->ioc_count = 0;
    drop_request(mp);
    qreply(q, mp);
}

int nvx_ioctl(queue_t *q, mblk_t *mp)
{
    if (mp->b_wptr < mp->b_rptr || static_cast<size_t>(MBLKL(mp)) < sizeof(struct iocblk)) {
        /* Not an ioctl block a stream head makes: there is nothing to answer in. */
        printf("nvx_ioctl: malformed M_IOCTL, q %lx\n", ulp(q));
        freemsg(mp);
        return 0;
    }
    struct iocblk *iocp = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    if (iocp->ioc_count == kTransparent) {
        printf("nvx_ioctl: transparent ioctls not supported!\n");
        nvx_iocnak(q, mp, EINVAL);
        return 0;
    }

    int (*handler)(queue_t *, mblk_t *) = nullptr;
    switch (iocp->ioc_cmd) {
    case NVX_INIT_IOCTL:
        handler = init_ioctl;
        break;
    case NVX_OPEN_IOCTL:
        handler = open_ioctl;
        break;
    case NVX_CLOSE_IOCTL:
        handler = close_ioctl;
        break;
    case NVX_CREATE_RX_IOCTL:
        handler = create_rx_ioctl;
        break;
    case NVX_CLOSE_RX_IOCTL:
        handler = close_rx_ioctl;
        break;
    case NVX_IGNORE_IOCTL:
        handler = ignore_ioctl;
        break;
    case NVX_BYPASS_IOCTL:
        handler = bypass_ioctl;
        break;
    case NVX_ADAPTER_IOCTL:
        handler = adapter_ioctl;
        break;
    case NVX_CONFIG_IOCTL:
        handler = config_ioctl;
        break;
    case NVX_ADD_FILTER_IOCTL:
        handler = add_filter_ioctl;
        break;
    case NVX_FLUSH_FILTERS_IOCTL:
        handler = flush_filters_ioctl;
        break;
    default: /* reading, releasing and injecting frames are not ioctls */
        printf("nvx_ioctl: unsupported ioctl: %x\n", static_cast<unsigned>(iocp->ioc_cmd));
        nvx_iocnak(q, mp, EINVAL);
        return 0;
    }

    const int rc = handler(q, mp);
    if (rc == 0)
        nvx_iocack(q, mp);
    else
        nvx_iocnak(q, mp, rc);
    return 0;
}

int init_ioctl(queue_t *q, mblk_t *mp)
{
    _dlprintf(4, "init_ioctl(%lx,%lx)\n", ulp(q), ulp(mp));
    mblk_t *rp = reply_block(mp, sizeof(InitData));
    if (rp == nullptr) {
        printf("init_ioctl: Failed to alloc mem for copy req\n");
        return ENOMEM;
    }
    const InitData rev = {NVX_MAJOR_REVISION, NVX_MINOR_REVISION};
    memcpy(rp->b_rptr, &rev, sizeof(rev));
    return 0;
}

int adapter_ioctl(queue_t *q, mblk_t *mp)
{
    _dlprintf(4, "adapter_ioctl(%lx,%lx)\n", ulp(q), ulp(mp));
    mblk_t *rp = reply_block(mp, sizeof(AdapterData));
    if (rp == nullptr) {
        printf("adapter_ioctl: Failed to alloc mem for copy req\n");
        return ENOMEM;
    }
    /* Built in a zeroed record so that nothing stale lies behind the last valid entry. */
    AdapterData list;
    memset(&list, 0, sizeof(list));
    rw_enter(&nvx_rwlock, RW_READER);
    for (int i = 0; i < MAX_PPA; i++) {
        const nvx_ppaInfo *slot = &ppaList[i];
        if (slot->info.dl_addr_length != 0 && slot->bndcnt != 0)
            list.devinfo[list.devnum++] = slot->info;
    }
    rw_exit(&nvx_rwlock);
    memcpy(rp->b_rptr, &list, sizeof(list));
    return 0;
}

int ignore_ioctl(queue_t *q, mblk_t *mp)
{
    _dlprintf(4, "ignore_ioctl(%lx,%lx)\n", ulp(q), ulp(mp));
    IgnoreData req;
    switch (take_record(mp, &req, sizeof(req))) {
    case REC_MISSING:
        printf("ignore_ioctl: no data passed in, q %lx\n", ulp(q));
        return EINVAL;
    case REC_SHORT:
        printf("ignore_ioctl: invalid data passed in, q %lx\n", ulp(q));
        return EINVAL;
    case REC_OK:
        break;
    }
    drop_request(mp);
    /* An entry that could not be added or renewed is not reported as done. */
    if (!AddFlood(req.ulIgnoreIp, req.ulIgnoreTime, req.ulIgnoreProtocol))
        return ENOMEM;
    return 0;
}

int bypass_ioctl(queue_t *q, mblk_t *mp)
{
    _dlprintf(4, "bypass_ioctl(%lx,%lx)\n", ulp(q), ulp(mp));
    BypassData req;
    switch (take_record(mp, &req, sizeof(req))) {
    case REC_MISSING:
        printf("bypass_ioctl: no data passed in, q %lx\n", ulp(q));
        return EINVAL;
    case REC_SHORT:
        printf("bypass_ioctl: invalid data passed in, q %lx\n", ulp(q));
        return EINVAL;
    case REC_OK:
        break;
    }
    SetBypass(req.ulBypass, req.bPersistant);
    printf("Setting a bypass for %x\n", __atomic_load_n(&BypassIp, __ATOMIC_RELAXED));
    drop_request(mp);
    return 0;
}

/* Type 1 of the configuration request: trace switches and dumps, by subtype. */
static void config_debug(U32 subType, U32 arg)
{
    switch (subType) {
    case NVX_CONFIG_DUMP_ALL:
        print_all();
        break;
    case NVX_CONFIG_TRACE:
        _debug(static_cast<int>(arg));
        break;
    case NVX_CONFIG_TRACE_LEVEL:
        _debug(1);
        _dsetlevel(static_cast<int>(arg), 2);
        break;
    case NVX_CONFIG_DUMP_QUEUES:
        print_all_queues();
        break;
    case NVX_CONFIG_DUMP_STATS:
        print_stats();
        break;
    default: /* accepted without effect */
        break;
    }
}

int config_ioctl(queue_t *q, mblk_t *mp)
{
    _dlprintf(4, "config_ioctl(%lx,%lx)\n", ulp(q), ulp(mp));
    ConfigData req;
    switch (take_record(mp, &req, sizeof(req))) {
    case REC_MISSING:
        printf("config_ioctl: no data passed in, q %lx\n", ulp(q));
        return EINVAL;
    case REC_SHORT:
        printf("config_ioctl: invalid data passed in, q %lx\n", ulp(q));
        return EINVAL;
    case REC_OK:
        break;
    }
    drop_request(mp);
    switch (req.ulType) {
    case NVX_CONFIG_DEBUG:
        config_debug(req.ulSubType, req.ulArg);
        return 0;
    case NVX_CONFIG_TIMEOUT: /* sessions created from now on */
        __atomic_store_n(&GlobalTimeout, req.ulArg, __ATOMIC_RELAXED);
        return 0;
    case NVX_CONFIG_THRESHOLD:
        __atomic_store_n(&GlobalThreshold, req.ulArg, __ATOMIC_RELAXED);
        return 0;
    default:
        printf("config_ioctl: invalid type %d\n", static_cast<int>(req.ulType));
        return EINVAL;
    }
}

int add_filter_ioctl(queue_t *q, mblk_t *mp)
{
    _dlprintf(4, "add_filter_ioctl(%lx)\n", ulp(mp));
    FilterElement req;
    switch (take_record(mp, &req, sizeof(req))) {
    case REC_MISSING:
        return EINVAL;
    case REC_SHORT:
        printf("add_filter_ioctl:  invalid data passed in, q %lx\n", ulp(q));
        return EINVAL;
    case REC_OK:
        break;
    }
    drop_request(mp);
    if (AddFilter(req.ulIpAddress, req.ucNetMask, req.ucProtocol, req.ucDirection) == nullptr)
        return PACKETERR_FILTER_ADD_ERROR;
    return 0;
}

int flush_filters_ioctl(queue_t *q, mblk_t *mp)
{
    (void)q;
    _dlprintf(4, "flush_filters_ioctl(%lx)\n", ulp(mp));
    drop_request(mp);
    if (FlushFilters() != 0)
        return PACKETERR_FILTER_FLUSH_ERROR;
    return 0;
}
