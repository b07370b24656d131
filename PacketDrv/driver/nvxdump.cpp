/*
 * State dumps of the driver's records, for an engineer looking inside a running driver.
 *
 * - Safe on a live system: the walkers hold nvx_rwlock and then nvx_bindlock as readers, so no
 *   binding, adapter record or session they reach is freed meanwhile (stopping a session and
 *   closing a stream take nvx_rwlock as writer before they free anything). Session fields
 *   guarded by a session mutex are read under that mutex; counters are read atomically.
 * - The shared packet queue lives in the region the reader can write at any time. It is never
 *   walked in place: its descriptor is copied once, checked against sizes the driver keeps, and
 *   the walk follows the copy; each entry and blob is read once and bounded before use. What a
 *   scribbling reader can cause is a wrong line, never a read outside the region.
 *
 * Lock order: nvx_rwlock (R) -> nvx_bindlock (R) -> one of sessionInfoMutex, captureMutex,
 * blockingMutex at a time.
 */
#include "nvxdump.h"

#include "debug.h"
#include <string.h>

#include "CircularQueue.h"

static inline unsigned long ul(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

static inline unsigned x32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

void print_stats(void)
{
    _dprintv("Capture Statistics:\n");
    _dprintv("\ttotalPut = %d\n", NVX_ATOMIC_LOAD(&totalPut));
    _dprintv("\ttotalRecvd = %d\n", NVX_ATOMIC_LOAD(&totalRecvd));
    _dprintv("\ttotalDataPkts = %d\n", NVX_ATOMIC_LOAD(&totalDataPkts));
    _dprintv("\ttotalQueued = %d\n", NVX_ATOMIC_LOAD(&totalQueued));
    _dprintv("\ttotalFreed = %d\n", NVX_ATOMIC_LOAD(&totalFreed));
    _dprintv("\n");
}

void print_SessionInfo(SessionInfo *info)
{
    _dprintv("\t\tSessionInfo: 0x%lx\n", ul(info));
    if (info == nullptr)
        return;

    mutex_enter(&info->captureMutex);
    const U32 flags = info->ulFlags;
    const long lastTime = static_cast<long>(info->lLastTime);
    mutex_exit(&info->captureMutex);
    mutex_enter(&info->blockingMutex);
    const U32 blocked = info->isBlocked;
    mutex_exit(&info->blockingMutex);

    _dprintv("\t\t\tulCaptureMode = %d\n", static_cast<int>(info->ulCaptureMode));
    _dprintv("\t\t\tulCaptureSize = %d\n", static_cast<int>(info->ulCaptureSize));
    _dprintv("\t\t\tRcvBufferSize = %d\n", static_cast<int>(info->RcvBufferSize));
    _dprintv("\t\t\tmaxpktsize = %d\n", static_cast<int>(info->maxpktsize));
    _dprintv("\t\t\tmaxpktbufsize = %d\n", static_cast<int>(info->maxpktbufsize));
    _dprintv("\t\t\tpacketCount = %d\n", static_cast<int>(NVX_ATOMIC_LOAD(&info->packetCount)));
    _dprintv("\t\t\thasData = %d\n", static_cast<int>(NVX_ATOMIC_LOAD(&info->hasData)));
    _dprintv("\t\t\tisBlocked = %d\n", static_cast<int>(blocked));
    _dprintv("\t\t\tulPacketsLost = %d\n", static_cast<int>(NVX_ATOMIC_LOAD(&info->ulPacketsLost)));
    _dprintv("\t\t\tulPacketsCaptured = %d\n",
             static_cast<int>(NVX_ATOMIC_LOAD(&info->ulPacketsCaptured)));
    _dprintv("\t\t\tulFlags = 0x%x\n", flags);
    _dprintv("\t\t\tlLastTime = %d\n", static_cast<int>(lastTime));
    _dprintv("\t\t\tlTimeOut = %d\n", static_cast<int>(info->lTimeOut));
    _dprintv("\t\t\tpStagingQueue = 0x%lx\n", ul(info->pStagingQueue));
    _dprintv("\t\t\tpRcvBuffer = 0x%lx\n", ul(info->pRcvBuffer));
    _dprintv("\t\t\tpFrameBuffer = 0x%lx\n", ul(info->pFrameBuffer));
}

/* The adapter record's session; sessionInfoMutex guards the pointer against a stop. */
static SessionInfo *session_of(GlobalInfo *gip)
{
    mutex_enter(&gip->sessionInfoMutex);
    SessionInfo *sip = gip->captureSession;
    mutex_exit(&gip->sessionInfoMutex);
    return sip;
}

void print_GlobalInfo(GlobalInfo *info)
{
    _dprintv("\tGLobalInfo: 0x%lx\n", ul(info));
    if (info == nullptr)
        return;
    _dprintv("\t\tulOpenMode = 0x%lx\n", static_cast<unsigned long>(info->ulOpenMode));
    _dprintv("\t\tindex = %d\n", static_cast<int>(info->index));
    _dprintv("\t\tppaname = %s\n", info->ppaname);
    _dprintv("\t\tulFlags = 0x%x\n", info->ulFlags);
    print_SessionInfo(session_of(info));
}

void print_BindingInfo(BindingInfo *info)
{
    _dprintv("BindingInfo: 0x%lx\n", ul(info));
    if (info == nullptr)
        return;
    _dprintv("\tdip = 0x%lx\n", ul(info->dip));
    _dprintv("\tdev = 0x%lx\n", static_cast<unsigned long>(info->dev));
    _dprintv("\treadq = 0x%lx\n", ul(info->rdq));
    _dprintv("\twriteq = 0x%lx\n", ul(info->wrq));
    _dprintv("\tulFlags = 0x%x\n", info->ulFlags);
    _dprintv("\tindex = %d\n", static_cast<int>(info->index));
    _dprintv("\tdl_ppa = %d\n", static_cast<int>(info->dl_ppa));
    _dprintv("\tppaname = %s\n", info->ppaname);
    _dprintv("\tprev = 0x%lx\n", ul(info->prev));
    _dprintv("\tnext = 0x%lx\n", ul(info->next));
    print_GlobalInfo(info->openInfo);
}

void print_all_bindings(void)
{
    rw_enter(&nvx_rwlock, RW_READER);
    rw_enter(&nvx_bindlock, RW_READER);
    for (BindingInfo *bip = BindingList; bip != nullptr; bip = bip->next)
        print_BindingInfo(bip);
    rw_exit(&nvx_bindlock);
    rw_exit(&nvx_rwlock);
    _dprintv("\n");
}

void print_ppainfo(int i)
{
    if (i < 0 || i >= MAX_PPA)
        return;
    const nvx_ppaInfo *slot = &ppaList[i];
    const ppaInfo *pi = &slot->info;
    if (strncmp(pi->devicename, NVX_UNKNOWN_PPA, NVX_DEVICENAME_LEN) == 0)
        return;
    const U8 *m = pi->aucMacAddress;
    const U8 *b = pi->brdcstMacAddress;
    _dprintv("PPAINFO: %d\n", i);
    _dprintv("\tbndcnt = %d\n", static_cast<int>(slot->bndcnt));
    _dprintv("\tgip = 0x%lx\n", ul(slot->gip));
    _dprintv("\tdl_max_sdu = %d\n", static_cast<int>(pi->dl_max_sdu));
    _dprintv("\tdl_max_type = %d\n", static_cast<int>(pi->dl_mac_type));
    _dprintv("\tdl_provider_style = %d\n", static_cast<int>(pi->dl_provider_style));
    _dprintv("\tdl_addr_length = %d\n", static_cast<int>(pi->dl_addr_length));
    _dprintv("\tdl_brdcst_addr_length = %d\n", static_cast<int>(pi->dl_brdcst_addr_length));
    _dprintv("\tuMedium = %d\n", static_cast<int>(pi->uMedium));
    _dprintv("\tdeviceName = %s\n", pi->devicename);
    _dprintv("\taucMacAddress = %02x:%02x:%02x:%02x:%02x:%02x\n", m[0], m[1], m[2], m[3], m[4],
             m[5]);
    _dprintv("\tbrdcstMacAddress = %02x:%02x:%02x:%02x:%02x:%02x\n", b[0], b[1], b[2], b[3], b[4],
             b[5]);
}

void print_all_ppainfo(void)
{
    rw_enter(&nvx_rwlock, RW_READER);
    for (int i = 0; i < MAX_PPA; i++)
        print_ppainfo(i);
    rw_exit(&nvx_rwlock);
    _dprintv("\n");
}

void print_all(void)
{
    int saved = 0;
    _dget_debug(&saved);
    _debug(0);
    print_stats();
    print_all_bindings();
    print_all_ppainfo();
    _debug(saved);
}

/* The entry lines of one frame record of blobLength bytes (already bounded to the queue). */
static void print_queue_entry_within(const BYTE *blob, U32 blobLength)
{
    PacketInfo info;
    if (blobLength < sizeof(info) + sizeof(PACKET_BUFFER))
        return;
    memcpy(&info, blob, sizeof(info)); /* one read of the reader-writable bytes */
    if (info.ulLength < sizeof(PacketInfo) || info.ulLength > blobLength - sizeof(PACKET_BUFFER))
        return;
    PACKET_BUFFER pb;
    memcpy(&pb, blob + info.ulLength, sizeof(pb));
    _dprintf("\t\t pInfo     flag    sta     time      seq\n");
    _dprintf("\t\t %08x %08x %08x %08d %08d\n", x32(blob + info.ulLength), info.ulFlags,
             pb.ulStatus, pb.lTimeSecs, static_cast<int>(pb.ulSequence));
}

void *print_queue_entry(const void *pBuffer)
{
    const BYTE *blob = static_cast<const BYTE *>(pBuffer);
    const PacketInfo *info = static_cast<const PacketInfo *>(pBuffer);
    print_queue_entry_within(blob, info->ulLength + static_cast<U32>(sizeof(PACKET_BUFFER)));
    return nullptr;
}

/*
 * A private copy of the shared packet queue's descriptor, accepted only when every offset lies
 * in the entry ring of a queue of the length the driver allocated, and the counts fit it. Every
 * state a correct reader leaves passes (it only moves the intermediate head and the counts).
 */
struct QueueSnapshot {
    QueueDescriptor d;
    U32 ulQueueLength; /* the driver's own: RcvBufferSize - 384 */
};

static bool ring_offset_ok(const QueueSnapshot *s, U32 off)
{
    return off == 0 ||
           (off >= CQ_DESCRIPTOR_SIZE && off <= s->ulQueueLength - CQ_QUEUE_ENTRY_SIZE &&
            (off - CQ_DESCRIPTOR_SIZE) % CQ_QUEUE_ENTRY_SIZE == 0);
}

static bool take_snapshot(const SessionInfo *sip, QueueSnapshot *s)
{
    if (sip->pFrameBuffer == nullptr ||
        sip->RcvBufferSize <= NVX_RCVBUFFER_SIZE + CQ_DESCRIPTOR_SIZE)
        return false;
    s->ulQueueLength = sip->RcvBufferSize - NVX_RCVBUFFER_SIZE;
    memcpy(&s->d, sip->pFrameBuffer, sizeof(s->d));
    const QueueDescriptor *d = &s->d;
    const U32 maxEntries = (s->ulQueueLength - CQ_DESCRIPTOR_SIZE) / CQ_QUEUE_ENTRY_SIZE;
    if (d->ulLength != s->ulQueueLength)
        return false;
    if (!ring_offset_ok(s, d->ulQueueHead) || !ring_offset_ok(s, d->ulQueueTail) ||
        !ring_offset_ok(s, d->ulHighestQueueEntry) || !ring_offset_ok(s, d->ulIntermediateHead) ||
        !ring_offset_ok(s, d->ulFinalHead) || !ring_offset_ok(s, d->ulLowestBlobEntry))
        return false;
    if ((d->ulQueueHead == 0) != (d->ulQueueTail == 0))
        return false;
    if (d->ulIntermediateCount > maxEntries || d->ulFinalCount > maxEntries ||
        d->ulEntryCount != d->ulIntermediateCount + d->ulFinalCount)
        return false;
    return true;
}

/* The queue's valid-offset rule, on the copy. */
static bool snapshot_holds(const QueueSnapshot *s, U32 off)
{
    const QueueDescriptor *d = &s->d;
    if (off == 0)
        return false;
    if (d->ulQueueTail >= d->ulQueueHead)
        return d->ulQueueHead <= off && off <= d->ulQueueTail;
    return (d->ulQueueHead <= off && off <= d->ulHighestQueueEntry) ||
           (CQ_DESCRIPTOR_SIZE <= off && off <= d->ulQueueTail);
}

/* The queue's next-entry rule, on the copy. */
static U32 snapshot_next(const QueueSnapshot *s, U32 off)
{
    const QueueDescriptor *d = &s->d;
    if (!snapshot_holds(s, off) || off == d->ulQueueTail)
        return 0;
    if (off < d->ulQueueTail)
        return off + CQ_QUEUE_ENTRY_SIZE;
    if (off >= d->ulHighestQueueEntry)
        return CQ_DESCRIPTOR_SIZE;
    return off + CQ_QUEUE_ENTRY_SIZE;
}

static U32 snapshot_final_tail(const QueueSnapshot *s)
{
    const QueueDescriptor *d = &s->d;
    if (d->ulFinalHead == 0)
        return 0;
    if (d->ulIntermediateHead == 0)
        return d->ulQueueTail;
    if (d->ulIntermediateHead == CQ_DESCRIPTOR_SIZE && d->ulQueueTail < d->ulQueueHead)
        return d->ulHighestQueueEntry;
    return d->ulIntermediateHead - CQ_QUEUE_ENTRY_SIZE;
}

/* The entries from start to end, as the queue's own range dump prints them. */
static void dump_range(const QueueSnapshot *s, const BYTE *queue, U32 start, U32 end)
{
    U32 steps = (s->ulQueueLength - CQ_DESCRIPTOR_SIZE) / CQ_QUEUE_ENTRY_SIZE + 1;
    for (U32 off = start; off != 0 && steps > 0; steps--) {
        if (!snapshot_holds(s, off))
            return;
        QueueEntry entry;
        memcpy(&entry, queue + off, sizeof(entry));
        _dprintf("Queue offset %u:  data offset = %u; length = %u.\n", off, entry.ulOffset,
                 entry.ulLength);
        if (entry.ulOffset >= CQ_DESCRIPTOR_SIZE && entry.ulOffset <= s->ulQueueLength &&
            entry.ulLength <= s->ulQueueLength - entry.ulOffset)
            print_queue_entry_within(queue + entry.ulOffset, entry.ulLength);
        if (off == end)
            return;
        off = snapshot_next(s, off);
    }
}

void print_queue(GlobalInfo *gip, SessionInfo *sip, int first, int last)
{
    (void)first;
    (void)last;
    const RcvBuffer *rb = sip->pRcvBuffer;
    const U32 regionFlags = rb != nullptr ? NVX_ATOMIC_LOAD(&rb->ulFlags) : 0;
    _dprintv("Capture Queue: %s\n", gip->ppaname);
    _dprintv("\tulFlags = %d\n", static_cast<int>(regionFlags));
    _dprintv("\tPkts=%d cnt=%d\n", NVX_ATOMIC_LOAD(&sip->ulOutstandingPackets),
             static_cast<int>(NVX_ATOMIC_LOAD(&sip->packetCount)));

    QueueSnapshot snap;
    const bool valid = take_snapshot(sip, &snap);
    const BYTE *queue = static_cast<const BYTE *>(sip->pFrameBuffer);
    _dprintv("\tIntermediate queue:\n");
    if (valid)
        dump_range(&snap, queue, snap.d.ulIntermediateHead, snap.d.ulQueueTail);
    _dprintv("\n\tFinal queue:\n");
    if (valid)
        dump_range(&snap, queue, snap.d.ulFinalHead, snapshot_final_tail(&snap));
}

void print_all_queues(void)
{
    rw_enter(&nvx_rwlock, RW_READER);
    rw_enter(&nvx_bindlock, RW_READER);
    for (BindingInfo *bip = BindingList; bip != nullptr; bip = bip->next) {
        GlobalInfo *gip = bip->openInfo;
        if (gip == nullptr)
            continue;
        SessionInfo *sip = session_of(gip);
        if (sip != nullptr)
            print_queue(gip, sip, 0, 0);
    }
    rw_exit(&nvx_bindlock);
    rw_exit(&nvx_rwlock);
}
