/*
 * Creating and closing a capture session (NVX_CREATE_RX_IOCTL, NVX_CLOSE_RX_IOCTL), and the
 * free-space query of its region.
 *
 * - Context: the device stream's write put procedure, in the library thread's process context;
 *   one control request at a time per device stream.
 * - A refused create leaves nothing behind: every allocation of the request is undone, the
 *   adapter keeps no session, no timer is armed.
 * - The session is attached under nvx_rwlock (writer) and only then is its timer armed, so a
 *   timer run always finds its session attached, or stops.
 */
#include "nvxsession.h"

#include "CircularQueue.h"
#include "debug.h"

#include "nvxengine.h"
#include "nvxframes.h"
#include "nvxrelease.h"

#include <sys/cmn_err.h>
#include <sys/kmem.h>
#include <sys/stream.h>
#include <sys/umem.h>

#include <errno.h>
#include <string.h>

/* What a create request has allocated so far, freed in reverse on a refusal. */
static void undo_create(SessionInfo *sip)
{
    frames_free(sip->pFrames);
    if (sip->pStagingQueue != nullptr)
        kmem_free(sip->pStagingQueue,
                  static_cast<size_t>(sip->ulCaptureSize) * sizeof(StagedPacketInfo));
    if (sip->ucookie != nullptr)
        ddi_umem_free(sip->ucookie);
    kmem_free(sip, sizeof(*sip));
}

/* The region size for a requested size: whole pages, or 0 when that does not fit 32 bits. */
static U32 region_size(U32 ulBufSize)
{
    const U64 rounded = (U64{ulBufSize} + PAGEOFFSET) & ~U64{PAGEOFFSET};
    return rounded > 0xFFFFFFFFu ? 0 : static_cast<U32>(rounded);
}

int create_rx_ioctl(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = static_cast<BindingInfo *>(q->q_ptr);
    _dlprintf(4, "create_rx_ioctl(%lx,%lx)\n", lx(q), lx(mp));

    mblk_t *dp = mp->b_cont;
    if (dp == nullptr) {
        printf("create_rx_ioctl: no data passed in, bip %lx\n", lx(bip));
        return EINVAL;
    }
    if (MBLKL(dp) < static_cast<ptrdiff_t>(sizeof(CreateRxData))) {
        printf("create_rx_ioctl: invalid data, q %lx ppaname %s\n", lx(q), bip->ppaname);
        return EINVAL;
    }
    CreateRxData req;
    memcpy(&req, dp->b_rptr, sizeof(req));
    if ((req.ulFlag & ~static_cast<U32>(CM_VALID_BITS)) != 0) {
        printf("create_rx_ioctl: invalid ulFlag %x, q %lx ppaname %s\n", req.ulFlag, lx(q),
               bip->ppaname);
        return EINVAL;
    }

    GlobalInfo *gip;
    SessionInfo *existing;
    nvx_lookup_session(bip, &gip, &existing, 1);
    const U32 dl_max_sdu =
        gip != nullptr && gip->index < MAX_PPA ? ppaList[gip->index].info.dl_max_sdu : 0;
    rw_exit(&nvx_rwlock);
    if (gip == nullptr) {
        printf("create_rx_ioctl: no capture, bip %lx ppaname %s\n", lx(bip), bip->ppaname);
        return EINVAL;
    }
    if (existing != nullptr) {
        printf("create_rx_ioctl: capture session already exist bip %lx gip %lx sip %lx ppaname "
               "%s\n",
               lx(bip), lx(gip), lx(existing), gip->ppaname);
        return EEXIST;
    }

    SessionInfo *sip = static_cast<SessionInfo *>(kmem_zalloc(sizeof(SessionInfo), KM_NOSLEEP));
    if (sip == nullptr) {
        printf("create_rx_ioctl: memory allocation failed, bip %lx gip %lx ppaname %s\n", lx(bip),
               lx(gip), gip->ppaname);
        return ENOMEM;
    }

    if (req.ulBufSize < NVX_MIN_BUFSIZE) {
        req.ulBufSize = NVX_DEFAULT_BUFSIZE;
        memcpy(dp->b_rptr, &req.ulBufSize, sizeof(req.ulBufSize));
        printf("create_rx_ioctl: invalid buffer size, using default 0x%x ppaname %s\n",
               req.ulBufSize, gip->ppaname);
    }

    /* Rounding a size near 4 GiB up to whole pages must not wrap to a small region. */
    sip->RcvBufferSize = region_size(req.ulBufSize);
    void *region = nullptr;
    if (sip->RcvBufferSize != 0)
        region = ddi_umem_alloc(sip->RcvBufferSize, DDI_UMEM_SLEEP, &sip->ucookie);
    if (region == nullptr) {
        printf("create_rx_ioctl: failed to alloc memory for receive buffer, capture %lx session "
               "%lx ppaname %s buffer size %x\n",
               lx(gip), lx(sip), gip->ppaname,
               sip->RcvBufferSize != 0 ? sip->RcvBufferSize : req.ulBufSize);
        undo_create(sip);
        return ENOMEM;
    }
    sip->pRcvBuffer = static_cast<RcvBuffer *>(region);
    memset(region, 0, NVX_RCVBUFFER_SIZE);
    sip->pFrameBuffer = static_cast<BYTE *>(region) + NVX_RCVBUFFER_SIZE;
    const U32 queueLength = sip->RcvBufferSize - NVX_RCVBUFFER_SIZE;
    U32 rc = InitializeCircularQueue(sip->pFrameBuffer, queueLength);
    if (rc != PACKET_SUCCESS) {
        printf("create_rx_ioctl: failed to initialize shared packet queue, capture %lx session %lx "
               "ppaname %s captureSize %d\n",
               lx(gip), lx(sip), gip->ppaname, static_cast<int>(sip->ulCaptureSize));
        undo_create(sip);
        return static_cast<int>(rc);
    }
    _dlprintf(4, "create_rx_ioctl:  initialized shared queue at 0x%lx.\n", lx(sip->pFrameBuffer));

    sip->maxpktsize = dl_max_sdu + 64;
    sip->maxpktbufsize = sip->maxpktsize + sizeof(PacketInfo) + sizeof(PACKET_BUFFER);
    sip->ulCaptureSize = queueLength / sip->maxpktbufsize;
    sip->ulBytesCaptured = 0;
    sip->bFlowControlled = 0;
    sip->uThreshold = (sip->RcvBufferSize * NVX_ATOMIC_LOAD(&GlobalThreshold)) / 100;

    const U32 stagingLength = sip->ulCaptureSize * static_cast<U32>(sizeof(StagedPacketInfo));
    sip->pStagingQueue = kmem_zalloc(stagingLength, KM_NOSLEEP);
    if (sip->pStagingQueue == nullptr) {
        printf("create_rx_ioctl: failed to alloc memory for receive queue, capture %lx session %lx "
               "ppaname %s captureSize %d\n",
               lx(gip), lx(sip), gip->ppaname, static_cast<int>(sip->ulCaptureSize));
        undo_create(sip);
        return ENOMEM;
    }
    rc = InitializeCircularQueue(sip->pStagingQueue, stagingLength);
    if (rc != PACKET_SUCCESS) {
        printf("create_rx_ioctl: failed to initialize staging queue, capture %lx session %lx "
               "ppaname %s captureSize %d\n",
               lx(gip), lx(sip), gip->ppaname, static_cast<int>(sip->ulCaptureSize));
        undo_create(sip);
        return static_cast<int>(rc);
    }

    /* The driver's own record of what it moves into the region (the reader may scribble). */
    sip->pFrames = frames_alloc(sip->pFrameBuffer, queueLength, sip->ulCaptureSize);
    if (sip->pFrames == nullptr) {
        printf("create_rx_ioctl: failed to alloc memory for frame record, capture %lx session %lx "
               "ppaname %s captureSize %d\n",
               lx(gip), lx(sip), gip->ppaname, static_cast<int>(sip->ulCaptureSize));
        undo_create(sip);
        return ENOMEM;
    }
    (void)frames_reset(sip->pFrames);

    printf("NVX: Starting capture 0x%lx session 0x%lx ppaname %s: BufSize 0x%x\n", lx(gip), lx(sip),
           gip->ppaname, sip->RcvBufferSize);

    sip->ulCaptureMode = req.ulFlag;
    sip->lTimeOut = static_cast<time_t>(NVX_ATOMIC_LOAD(&GlobalTimeout));
    rb_store(&sip->pRcvBuffer->lLastTime, timestamp());
    sip->lLastTime = nvx_now();
    sip->sequence = 0;
    sip->staged_seq = 0;
    sip->shm_seq = 0;
    mutex_init(&sip->captureMutex, nullptr, MUTEX_DRIVER, nullptr);
    mutex_init(&sip->blockingMutex, nullptr, MUTEX_DRIVER, nullptr);
    mutex_init(&sip->frameMutex, nullptr, MUTEX_DRIVER, nullptr);
    cv_init(&sip->cv, nullptr, CV_DRIVER, nullptr);

    rw_enter(&nvx_rwlock, RW_WRITER);
    if (gip->captureSession != nullptr || bip->openInfo != gip) {
        /* Another request got there first (or the adapter closed meanwhile). */
        existing = gip->captureSession;
        rw_exit(&nvx_rwlock);
        printf("create_rx_ioctl: capture session already exist bip %lx gip %lx sip %lx ppaname "
               "%s\n",
               lx(bip), lx(gip), lx(existing), gip->ppaname);
        mutex_destroy(&sip->captureMutex);
        mutex_destroy(&sip->blockingMutex);
        mutex_destroy(&sip->frameMutex);
        cv_destroy(&sip->cv);
        undo_create(sip);
        return EEXIST;
    }
    mutex_enter(&gip->sessionInfoMutex);
    gip->captureSession = sip;
    mutex_exit(&gip->sessionInfoMutex);
    gip->ulFlags = (gip->ulFlags | GI_CAPTURING) & ~static_cast<U32>(GI_SUSPENDED);
    rw_exit(&nvx_rwlock);

    /* Armed only now that the session is attached: a timer run never finds it missing. */
    mutex_enter(&sip->captureMutex);
    nvx_arm_timer(sip, bip);
    mutex_exit(&sip->captureMutex);
    return 0;
}

int close_rx_ioctl(queue_t *q, mblk_t *mp)
{
    BindingInfo *bip = static_cast<BindingInfo *>(q->q_ptr);
    _dlprintf(4, "close_rx_ioctl(%lx,%lx)\n", lx(q), lx(mp));
    GlobalInfo *gip;
    SessionInfo *sip;
    nvx_lookup_session(bip, &gip, &sip, 0);
    if (gip == nullptr) {
        printf("close_rx_ioctl: no open capture, bip %lx\n", lx(bip));
        return EINVAL;
    }
    if (sip == nullptr) {
        printf("close_rx_ioctl: no capture session, bip %lx gip %lx, ppaname %s\n", lx(bip),
               lx(gip), gip->ppaname);
        return EINVAL;
    }
    stop_session(gip, sip);
    return 0;
}

int BelowThreshold(SessionInfo *sip)
{
    U32 largest = 0;
    U32 rc = PACKETERR_D_BAD_PARMS;
    if (sip->pFrames != nullptr) {
        mutex_enter(&sip->frameMutex);
        rc = frames_largest_free(sip->pFrames, &largest);
        mutex_exit(&sip->frameMutex);
    }
    if (rc != PACKET_SUCCESS) {
        printf("BelowThreshold:  error getting largest free block in shared queue:  0x%x.\n", rc);
        return 0;
    }
    return largest > sip->uThreshold;
}
