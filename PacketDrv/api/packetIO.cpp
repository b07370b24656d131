/*
 * libnvxapi data path: creating and ending a capture (the mapped region), reading frames in
 * place and releasing them with a verdict.
 *
 * - The region is shared with the driver. The library makes only intermediate dequeues on the
 *   shared packet queue (region + 384), and only outside its read request; the driver enqueues
 *   and makes final dequeues only while it serves a read request, that is while this thread
 *   is blocked in putmsg. So at most one thread reads one adapter, and PacketFree must not race
 *   PacketRead on it.
 * - The only writes into the region besides the queue descriptor's intermediate fields are
 *   single words: lLastTime, the session timeout bit, and a frame's ulStatus and lTimeSecs.
 * - Per frame the read path allocates nothing and makes no system call while frames wait: one
 *   intermediate dequeue, one time() and the trace calls (one test each while tracing is off).
 * - A frame taken from the queue is always handed to the caller; no path drops one.
 */
#include "packetLib.h"

#include <errno.h>
#include <stdio.h>
#include <sys/mman.h>
#include <time.h>

#define NVX_USER_PLATFORM_NAMES
#include "nvx_user.h"

namespace
{

/* The shared packet queue of a mapped region. */
void *PacketQueueOf(const PPAData *ppa)
{
    return reinterpret_cast<char *>(ppa->pRcvBuf) + NVX_RCVBUFFER_SIZE;
}

/* Words of the region header that the driver writes while this thread is not looking. */
U32 LoadHeaderWord(const volatile U32 *p)
{
    return __atomic_load_n(const_cast<const U32 *>(p), __ATOMIC_ACQUIRE);
}

} // namespace

extern "C" {

int PacketCreateRx(ADAPTER_INFO *pai, U32 ulCaptureBufferSize, U32 ulFlag)
{
    _dprintf("%s: %x, %d, %x\n", __func__, PacketX32(pai), static_cast<int>(ulCaptureBufferSize),
             ulFlag);
    if (pai == nullptr || ulCaptureBufferSize == 0 || ulFlag >= 32)
        return PACKETERR_BAD_PARAMETERS;
    PPAData *ppa = PacketFindOpen(pai);
    if (ppa == nullptr) {
        _dprintf("%s: The adapter %s is not open\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    if (ppa->pRcvBuf != nullptr) {
        const U8 *mac = pai->aCardInfo[0].aucMacAddress;
        _dprintf(
            "%s: There is already a capture defined for this adapter: \t\t\t%x:%x:%x:%x:%x:%x\n",
            __func__, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
        return PACKETERR_RX_ALREADY_OPEN;
    }
    CreateRxData req;
    req.ulBufSize = ulCaptureBufferSize;
    if (ulCaptureBufferSize < NVX_MIN_BUFSIZE) {
        req.ulBufSize = NVX_DEFAULT_BUFSIZE;
        _dprintf("%s: invalid buffer size, using default 0x%x\n", __func__, req.ulBufSize);
    }
    req.ulFlag = ulFlag == 0 ? CM_INLINE : ulFlag;
    _dprintf("%s: buffer size is %d\n", __func__, static_cast<int>(ulCaptureBufferSize));
    int rc =
        strioctl(ppa->fd, NVX_CREATE_RX_IOCTL, -1, sizeof(req), reinterpret_cast<char *>(&req));
    if (rc < 0) {
        printIoctlError(NVX_CREATE_RX_IOCTL);
        switch (errno) {
        case EEXIST:
            return PACKETERR_RX_ALREADY_OPEN;
        case ENOMEM:
            return PACKETERR_NO_MEMORY;
        case EINVAL:
            return PACKETERR_NO_BINDING;
        default:
            return PACKETERR_GENERAL;
        }
    }
    /* The driver leaves the size it applied in the reply (the same default rule). */
    size_t size = req.ulBufSize;
    void *region = MAP_FAILED;
    if (size <= static_cast<size_t>(0x7fffffff))
        region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, ppa->fd, 0);
    if (region == MAP_FAILED) {
        _dprintf("%s: No memory mapping for capture buffer of size: %d errno %d\n", __func__,
                 static_cast<int>(req.ulBufSize), errno);
        /* No unread session may hold the adapter's traffic: end it, so a retry can succeed. */
        int err = errno;
        (void)strioctl(ppa->fd, NVX_CLOSE_RX_IOCTL, -1, 0, nullptr);
        errno = err;
        return PACKETERR_NO_MEMORY;
    }
    _dprintf("PacketCreateRx:  memory mapped buffer at 0x%x.\n", PacketX32(region));
    ppa->pRcvBuf = static_cast<RcvBuffer *>(region);
    ppa->RcvBufSize = static_cast<int>(size);
    ppa->maxpktbufsize = static_cast<int>(ppa->pRcvBuf->maxpktbufsize);
    ppa->captureSize = static_cast<int>(ppa->pRcvBuf->ulCaptureSize);
    ppa->ulFlags = req.ulFlag;
    return PACKET_SUCCESS;
}

int PacketCloseRx(ADAPTER_INFO *pai)
{
    _dprintf("%s: %x\n", __func__, PacketX32(pai));
    if (pai == nullptr)
        return PACKETERR_BAD_PARAMETERS;
    PPAData *ppa = PacketFindOpen(pai);
    if (ppa == nullptr) {
        _dprintf("%s: The adapter %s is not open\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    if (ppa->pRcvBuf == nullptr) {
        _dprintf("%s: No capture active for this adapter: %s\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    /* Unmapped before the command, so the region is gone even when the driver refuses. */
    munmap(ppa->pRcvBuf, static_cast<size_t>(ppa->RcvBufSize));
    ppa->pRcvBuf = nullptr;
    ppa->RcvBufSize = 0;
    if (strioctl(ppa->fd, NVX_CLOSE_RX_IOCTL, -1, 0, nullptr) < 0) {
        printIoctlError(NVX_CLOSE_RX_IOCTL);
        return PACKETERR_NO_BINDING;
    }
    return PACKET_SUCCESS;
}

int PacketRead(ADAPTER_INFO *pai, U32 iWaitMsec, PACKET_BUFFER **ppPacketBuffer)
{
    _dprintf("%s: %x, %d, %x\n", __func__, PacketX32(pai), static_cast<int>(iWaitMsec),
             PacketX32(ppPacketBuffer));
    if (pai == nullptr) {
        _dprintf("%s: pai is NULL, returning BAD_PARAMETERS\n", __func__);
        return PACKETERR_BAD_PARAMETERS;
    }
    if (ppPacketBuffer == nullptr) /* nowhere to hand a frame to: take none */
        return PACKETERR_BAD_PARAMETERS;
    PPAData *ppa = PacketFindOpen(pai);
    if (ppa == nullptr) {
        _dprintf("%s: The adapter %s is not open\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    RcvBuffer *rb = ppa->pRcvBuf;
    if (rb == nullptr) {
        _dprintf("%s: No capture active for this adapter: %s\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    if (LoadHeaderWord(&rb->ulFlags) & RB_SESSION_TIMEOUT) {
        _dprintf("%s: session timeout on adapter: %s\n", __func__, pai->szDeviceName);
        return PACKETERR_DRIVER_NOT_STARTED;
    }
    void *queue = PacketQueueOf(ppa);
    void *blob = nullptr;
    U32 blobLength = 0;
    bool fromRegion = false;
    if (GlobalReadThreshold != 0) {
        pai->ulReadCount++;
        fromRegion = pai->ulReadCount <= static_cast<unsigned>(GlobalReadThreshold);
    } else {
        fromRegion = true;
    }
    if (fromRegion) {
        U32 code = CircularQueueDequeueIntermediate(queue, &blob, &blobLength);
        if (code == PACKET_SUCCESS) {
            _dprintf("%s: got a packet right away\n", __func__);
        } else if (code != PACKETERR_QUEUE_EMPTY) {
            _dprintf("Error dequeueing intermediate packet from queue 0x%x; code = 0x%x.\n",
                     PacketX32(queue), code);
            return static_cast<int>(code);
        }
    }
    if (blob == nullptr) {
        pai->ulReadCount = 0;
        ReadData rd;
        rd.waitTime = iWaitMsec;
        struct strbuf ctl;
        ctl.maxlen = 0;
        ctl.len = sizeof(rd);
        ctl.buf = reinterpret_cast<char *>(&rd);
        _dprintf("%s: About to call putmsg to block\n", __func__);
        if (putmsg(ppa->fd, &ctl, nullptr, RS_HIPRI) < 0) {
            _dprintf("%s: putmsg failed, errno = %d\n", __func__, errno);
            return PACKETERR_GENERAL;
        }
        U32 code = CircularQueueDequeueIntermediate(queue, &blob, &blobLength);
        if (code != PACKET_SUCCESS) {
            _dprintf("2nd Dequeue intermediate unsuccessful; code = 0x%x.\n", code);
            U32 outcome = LoadHeaderWord(&rb->nvx_errno);
            _dprintf("%s: putmsg returned an error: %d\n", __func__, static_cast<int>(outcome));
            if (outcome == 0 || outcome == NVX_READ_TIMEOUT) {
                _dprintf("%s: returning PACKETERR_GET_RESULT_TIMEOUT\n", __func__);
                return PACKETERR_GET_RESULT_TIMEOUT;
            }
            _dprintf("%s: putmsg errno = %d\n", __func__, static_cast<int>(outcome));
            return PACKETERR_GENERAL;
        }
        _dprintf("%s: got a packet after waiting\n", __func__);
    }
    /* The PACKET_BUFFER lies behind the driver's PacketInfo, whose first word is its size. */
    U32 infoLength;
    __builtin_memcpy(&infoLength, blob, sizeof(infoLength));
    auto *pb = reinterpret_cast<PACKET_BUFFER *>(static_cast<char *>(blob) + infoLength);
    *ppPacketBuffer = pb;
    U32 now = static_cast<U32>(time(nullptr));
    __atomic_store_n(const_cast<U32 *>(&rb->lLastTime), now, __ATOMIC_RELEASE);
    _dprintf("%s: setting time to %d packet=%x (seq %d)\n", __func__, static_cast<int>(now),
             PacketX32(pb), static_cast<int>(pb->ulSequence));
    _dprintf("%s: returning PACKET_SUCCESS\n", __func__);
    return PACKET_SUCCESS;
}

U8 *PacketGetDataPtr(PACKET_BUFFER *pPacketBuffer)
{
    if (pPacketBuffer == nullptr)
        return reinterpret_cast<U8 *>(static_cast<uintptr_t>(PACKETERR_BAD_PARAMETERS));
    return reinterpret_cast<U8 *>(pPacketBuffer) + pPacketBuffer->lDataOffset;
}

int PacketFree(ADAPTER_INFO *pai, PACKET_BUFFER *pFrame, U32 ulAction)
{
    _dprintf("%s: %x, %x, %x\n", __func__, PacketX32(pai), PacketX32(pFrame), ulAction);
    if (pai == nullptr || pFrame == nullptr ||
        (ulAction & ~static_cast<U32>(PACKET_FREE_RELEASE | PACKET_FREE_BLOCK)) != 0)
        return PACKETERR_BAD_PARAMETERS;
    PPAData *ppa = PacketFindOpen(pai);
    if (ppa == nullptr) {
        _dprintf("%s: The adapter %s not open\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    RcvBuffer *rb = ppa->pRcvBuf;
    if (rb == nullptr) {
        _dprintf("%s: No capture active for this adapter: %s\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    if (LoadHeaderWord(&rb->ulFlags) & RB_SESSION_TIMEOUT) {
        _dprintf("%s: session timeout on adapter: %s, resuming capture\n", __func__,
                 pai->szDeviceName);
        /* The driver sets the bit only while the session is stopped, so nothing races this
         * clear of the one bit. */
        __atomic_fetch_and(const_cast<U32 *>(&rb->ulFlags), ~static_cast<U32>(RB_SESSION_TIMEOUT),
                           __ATOMIC_RELEASE);
        return PACKET_SUCCESS;
    }
    /* Only with both the open mode and the capture flags exactly inline does the driver
     * honour a block verdict. */
    if (ppa->ulMode != MODE_INLINE || ppa->ulFlags != CM_INLINE)
        return PACKET_SUCCESS;
    if (ulAction & PACKET_FREE_BLOCK)
        pFrame->ulStatus |= PB_FLAG_FRAME_BLOCKED;
    _dprintf("%s: marking packet at %x (seq %d) free\n", __func__, PacketX32(pFrame),
             static_cast<int>(pFrame->ulSequence));
    pFrame->lTimeSecs = 0;
    _dprintf("%s: returning PACKET_SUCCESS\n", __func__);
    return PACKET_SUCCESS;
}

void print64(U8 *val)
{
    for (int i = 0; i < 8; i++)
        printf("%02x", val[i]);
    printf("\n");
}

} // extern "C"
