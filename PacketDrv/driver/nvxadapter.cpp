/*
 * Opening and closing an adapter for capture (NVX_OPEN_IOCTL, NVX_CLOSE_IOCTL): the adapter
 * record GlobalInfo, its attachment to the adapter table and to the module streams of the
 * adapter (set_binding), and its end (stop_capture).
 *
 * - Context: the device stream's write put procedure and its close, in process context.
 * - One adapter per device stream and one device stream per adapter: both are re-checked at
 *   attach time under nvx_rwlock (writer), so two opens racing for one adapter cannot both
 *   win, and the loser's record is freed. A refused open changes no openInfo anywhere.
 * - Only the opening device stream is ever attached to its adapter record; another device
 *   stream that kept the adapter's index (a refused open, an earlier close) stays unattached
 *   and can never stop, map or read this capture.
 * - Lock order: nvx_rwlock (writer) before nvx_bindlock (writer) in set_binding.
 */
#include "nvxioctl.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */

#include "nvxppa.h"
#include "nvxrelease.h"

#include <sys/cmn_err.h>
#include <sys/kmem.h>
#include <sys/stream.h>

#include <errno.h>
#include <string.h>

static inline unsigned long ulp(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

int set_binding(GlobalInfo *gip, int set, BindingInfo *owner)
{
    rw_enter(&nvx_rwlock, RW_WRITER);
    nvx_ppaInfo *slot = gip->index < MAX_PPA ? &ppaList[gip->index] : nullptr;
    if (set && (slot == nullptr || slot->gip != nullptr || owner->openInfo != nullptr)) {
        rw_exit(&nvx_rwlock);
        return EEXIST;
    }
    rw_enter(&nvx_bindlock, RW_WRITER);
    for (BindingInfo *b = BindingList; b != nullptr; b = b->next) {
        if (set) {
            /* Module instances of the adapter, and the opening device stream alone. */
            if (b == owner || (b->dip == nullptr && b->index == gip->index)) {
                b->openInfo = gip;
                _dlprintf(16, "set_binding - 0x%lx, gip=0x%lx\n", ulp(b), ulp(gip));
            }
        } else if (b->openInfo == gip) {
            b->openInfo = nullptr;
            _dlprintf(16, "set_binding - 0x%lx, gip=0x%lx\n", ulp(b), 0ul);
        }
    }
    rw_exit(&nvx_bindlock);
    if (slot != nullptr) {
        if (set)
            slot->gip = gip;
        else if (slot->gip == gip)
            slot->gip = nullptr;
    }
    rw_exit(&nvx_rwlock);
    return 0;
}

void stop_capture(GlobalInfo *gip)
{
    (void)set_binding(gip, 0, nullptr);
    /* Detached: no put procedure, read request or devmap finds the record any more. */
    mutex_enter(&gip->sessionInfoMutex);
    SessionInfo *sip = gip->captureSession;
    mutex_exit(&gip->sessionInfoMutex);
    if (sip != nullptr)
        stop_session(gip, sip);
    mutex_destroy(&gip->sessionInfoMutex);
    kmem_free(gip, sizeof(*gip));
}

/* 1 when the name field holds a NUL within its bytes. */
static int name_terminated(const char *name)
{
    return memchr(name, '\0', NVX_DEVICENAME_LEN) != nullptr;
}

int open_ioctl(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = static_cast<BindingInfo *>(q->q_ptr);
    _dlprintf(4, "open_ioctl(%lx,%lx)\n", ulp(q), ulp(mp));

    mblk_t *dp = mp->b_cont;
    if (dp == nullptr) {
        _dprintf("open_ioctl: no data passed in\n");
        return EINVAL;
    }
    OpenData req;
    if (dp->b_wptr < dp->b_rptr || static_cast<size_t>(MBLKL(dp)) < sizeof(req)) {
        printf("open_ioctl: invalid data passed in\n");
        return EINVAL;
    }
    memcpy(&req, dp->b_rptr, sizeof(req));
    /* A name that fills its field without a NUL is refused, never cut to another name. */
    if (!name_terminated(req.ppaname)) {
        printf("open_ioctl: invalid data passed in\n");
        return EINVAL;
    }

    /* One adapter per device stream: refused before this stream's binding changes. */
    rw_enter(&nvx_rwlock, RW_READER);
    GlobalInfo *current = bip->openInfo;
    rw_exit(&nvx_rwlock);
    if (current != nullptr) {
        printf("open_ioctl: device already opened, ppaname %s gip %lx\n", current->ppaname,
               ulp(current));
        return EEXIST;
    }

    /* The name and index stay with the binding even when a later step refuses the request. */
    rw_enter(&nvx_rwlock, RW_WRITER);
    memcpy(bip->ppaname, req.ppaname, NVX_DEVICENAME_LEN);
    rw_exit(&nvx_rwlock);
    const U32 index = find_ppa(bip);
    rw_enter(&nvx_rwlock, RW_WRITER);
    bip->index = index;
    U32 addrLength = 0, bndcnt = 0, maxSdu = 0;
    GlobalInfo *holder = nullptr;
    U8 mac[sizeof(req.devinfo.aucMacAddress)] = {0};
    if (index < MAX_PPA) {
        const nvx_ppaInfo *slot = &ppaList[index];
        addrLength = slot->info.dl_addr_length;
        bndcnt = slot->bndcnt;
        maxSdu = slot->info.dl_max_sdu;
        holder = slot->gip;
        memcpy(mac, slot->info.aucMacAddress, sizeof(mac));
    }
    rw_exit(&nvx_rwlock);

    if (index >= MAX_PPA || addrLength == 0 || bndcnt == 0) {
        printf("open_ioctl: device not bound, ppaname %s, index %d addrlen %d bndcnt %d\n",
               req.ppaname, static_cast<int>(index), static_cast<int>(addrLength),
               static_cast<int>(bndcnt));
        return ENODEV;
    }
    if (holder != nullptr) {
        printf("open_ioctl: device already opened, ppaname %s gip %lx\n", req.ppaname, ulp(holder));
        return EEXIST;
    }

    GlobalInfo *gip = static_cast<GlobalInfo *>(kmem_zalloc(sizeof(GlobalInfo), KM_NOSLEEP));
    if (gip == nullptr) {
        printf("open_ioctl: Failed to alloc memory for GlobalInfo, ppaname %s\n", req.ppaname);
        return ENOMEM;
    }
    mutex_init(&gip->sessionInfoMutex, nullptr, MUTEX_DRIVER, nullptr);
    gip->ulOpenMode = req.ulOpenMode;
    gip->index = index;
    memcpy(gip->ppaname, req.ppaname, NVX_DEVICENAME_LEN);

    if (set_binding(gip, 1, bip) != 0) {
        /* Another stream opened the adapter since the check above. */
        rw_enter(&nvx_rwlock, RW_READER);
        holder = ppaList[index].gip;
        rw_exit(&nvx_rwlock);
        printf("open_ioctl: device already opened, ppaname %s gip %lx\n", req.ppaname, ulp(holder));
        mutex_destroy(&gip->sessionInfoMutex);
        kmem_free(gip, sizeof(*gip));
        return EEXIST;
    }

    /* The reply is the request record with the adapter's description filled in. */
    req.devinfo.dl_max_sdu = maxSdu;
    req.devinfo.dl_addr_length = addrLength;
    memcpy(req.devinfo.aucMacAddress, mac, sizeof(mac));
    req.devinfo.uMedium = 0; /* PB_MEDIUM_ETHERNET */
    memcpy(dp->b_rptr, &req, sizeof(req));
    dp->b_wptr = dp->b_rptr + sizeof(req);
    if (dp->b_cont != nullptr) {
        freemsg(dp->b_cont);
        dp->b_cont = nullptr;
    }
    return 0;
}

int close_ioctl(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = static_cast<BindingInfo *>(q->q_ptr);
    _dlprintf(4, "close_ioctl(%lx,%lx)\n", ulp(q), ulp(mp));
    /* Only this stream's own requests and close change its openInfo. */
    rw_enter(&nvx_rwlock, RW_READER);
    GlobalInfo *gip = bip->openInfo;
    rw_exit(&nvx_rwlock);
    if (gip == nullptr) {
        printf("close_ioctl: not opened, bip %lx\n", ulp(bip));
        return EINVAL;
    }
    stop_capture(gip);
    if (mp->b_cont != nullptr) {
        freemsg(mp->b_cont);
        mp->b_cont = nullptr;
    }
    return 0;
}
