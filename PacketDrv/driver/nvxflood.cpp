/*
 * Flood protection and bypass (contract in nvxflood.h).
 *
 * FloodLock guards the list and every entry. The per-frame checks test FloodList and BypassIp
 * without it, so those words (and lastCheck, updated without a lock) are read and written with
 * relaxed atomics: a change made concurrently takes effect with the next frame, and nothing
 * else is ordered against them (an entry is only ever reached under FloodLock, whose acquire
 * makes its fields visible). lastCheck is moved on with a compare-and-exchange, so of frames
 * racing for one ageing pass exactly one runs it.
 */
#include "nvxflood.h"

#include <stdint.h>
#include <sys/ddi.h>
#include <sys/kmem.h>
#include <sys/ksynch.h>

#include "debug.h"
#include "nvx.h"
#include "nvxgeom.h"

FloodItem *FloodList;
int FloodAge = 60;
int FloodAgeTime = 10;
U32 lastCheck;
U32 BypassIp;
U32 BypassPersistant;

namespace
{

constexpr U16 ETHERTYPE_IPV4 = 0x0800;
constexpr size_t LINK_TYPE_OFFSET = 12;  /* of the link header */
constexpr size_t IP_HEADER_OFFSET = 14;  /* of the link header */
constexpr size_t IP_PROTOCOL_OFFSET = 9; /* of the IP header */
constexpr size_t IP_SOURCE_OFFSET = 12;  /* of the IP header */
constexpr size_t IP_DEST_OFFSET = 16;    /* of the IP header */
constexpr size_t IP_FIELDS_END = IP_HEADER_OFFSET + IP_DEST_OFFSET + 4;

U16 ReadBig16(const BYTE *p)
{
    return static_cast<U16>((p[0] << 8) | p[1]);
}

U32 ReadBig32(const BYTE *p)
{
    return (static_cast<U32>(p[0]) << 24) | (static_cast<U32>(p[1]) << 16) |
           (static_cast<U32>(p[2]) << 8) | p[3];
}

/* now + seconds, saturated at the largest time_t (32 bits in the 32-bit kernel). */
time_t ExpiryAfter(time_t now, U32 seconds)
{
    constexpr S64 TIME_MAX = sizeof(time_t) == 8 ? INT64_MAX : INT32_MAX;
    const S64 expiry = static_cast<S64>(now) + seconds;
    return static_cast<time_t>(expiry > TIME_MAX ? TIME_MAX : expiry);
}

} // namespace

bool GetFrameIpFields(mblk_t *mp, int dir, FrameIpFields *pFields)
{
    if (mp == nullptr || mp->b_datap == nullptr) {
        return false;
    }
    mblk_t *pData = mp->b_datap->db_type != M_DATA ? mp->b_cont : mp;
    if (pData == nullptr || pData->b_datap == nullptr) {
        return false;
    }
    const BYTE *pBase = pData->b_datap->db_base;
    const BYTE *pRead = pData->b_rptr;
    const BYTE *pEnd = pData->b_wptr;
    if (pRead < pBase || pEnd < pRead) {
        return false;
    }
    /* HeaderLen counts only bytes between the buffer's start and the read pointer. */
    const BYTE *pLink = dir == DIR_INBOUND ? pRead - HeaderLen(pData) : pRead;
    if (static_cast<size_t>(pEnd - pLink) < IP_FIELDS_END ||
        ReadBig16(pLink + LINK_TYPE_OFFSET) != ETHERTYPE_IPV4) {
        return false;
    }
    const BYTE *pIp = pLink + IP_HEADER_OFFSET;
    pFields->ucProtocol = pIp[IP_PROTOCOL_OFFSET];
    pFields->ulSource = ReadBig32(pIp + IP_SOURCE_OFFSET);
    pFields->ulDestination = ReadBig32(pIp + IP_DEST_OFFSET);
    return true;
}

void InitFlood(void)
{
    mutex_init(&FloodLock, nullptr, MUTEX_DRIVER, nullptr);
    NVX_ATOMIC_STORE(&FloodList, static_cast<FloodItem *>(nullptr));
    NVX_ATOMIC_STORE(&lastCheck, 0u);
    NVX_ATOMIC_STORE(&BypassIp, 0u);
    NVX_ATOMIC_STORE(&BypassPersistant, 0u);
}

void FiniFlood(void)
{
    mutex_enter(&FloodLock);
    FloodItem *pItem = FloodList;
    NVX_ATOMIC_STORE(&FloodList, static_cast<FloodItem *>(nullptr));
    mutex_exit(&FloodLock);
    while (pItem != nullptr) {
        FloodItem *pNext = pItem->next;
        kmem_free(pItem, sizeof(FloodItem));
        pItem = pNext;
    }
    mutex_destroy(&FloodLock);
}

int AddFlood(U32 ip, U32 timeout, U32 protocol)
{
    time_t now = 0;
    (void)drv_getparm(TIME, &now);
    if (timeout == 0) {
        timeout = static_cast<U32>(FloodAge);
    }

    mutex_enter(&FloodLock);
    for (FloodItem *pItem = FloodList; pItem != nullptr; pItem = pItem->next) {
        if (pItem->ip == ip && pItem->protocol == protocol) {
            pItem->time = ExpiryAfter(now, timeout);
            mutex_exit(&FloodLock);
            _dlprintf(FLOOD_TRACE_LEVEL, "Resetting flood protection for ip %x\n", ip);
            return 1;
        }
    }
    _dlprintf(FLOOD_TRACE_LEVEL, "Adding flood protection for ip %x (%d secs)\n", ip,
              static_cast<int>(timeout));
    auto *pItem = static_cast<FloodItem *>(kmem_zalloc(sizeof(FloodItem), KM_NOSLEEP));
    if (pItem == nullptr) {
        mutex_exit(&FloodLock);
        return 0;
    }
    pItem->ip = ip;
    pItem->time = ExpiryAfter(now, timeout);
    pItem->protocol = protocol;
    pItem->next = FloodList;
    NVX_ATOMIC_STORE(&FloodList, pItem);
    mutex_exit(&FloodLock);
    return 1;
}

bool TestFlood(U32 ip, U32 protocol)
{
    bool bMatch = false;
    mutex_enter(&FloodLock);
    for (const FloodItem *pItem = FloodList; pItem != nullptr; pItem = pItem->next) {
        if (pItem->ip == ip &&
            (pItem->protocol == protocol || pItem->protocol == FLOOD_ANY_PROTOCOL)) {
            bMatch = true;
            break;
        }
    }
    mutex_exit(&FloodLock);
    return bMatch;
}

void AgeFlood(time_t time)
{
    /* The frame that moves lastCheck on runs the pass; a frame racing it for the same pass
     * loses the exchange and returns, so passes stay at least FloodAgeTime apart. */
    U32 ulLast = NVX_ATOMIC_LOAD(&lastCheck);
    if (static_cast<S64>(time) < static_cast<S64>(ulLast) + FloodAgeTime ||
        !__atomic_compare_exchange_n(&lastCheck, &ulLast, static_cast<U32>(time), false,
                                     __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
        return;
    }

    /* Unlinked under the lock, freed after it: the list may be long, the hold stays short. */
    FloodItem *pExpired = nullptr;
    mutex_enter(&FloodLock);
    FloodItem **ppLink = &FloodList;
    while (*ppLink != nullptr) {
        FloodItem *pItem = *ppLink;
        if (pItem->time < time) {
            NVX_ATOMIC_STORE(ppLink, pItem->next);
            pItem->next = pExpired;
            pExpired = pItem;
        } else {
            ppLink = &pItem->next;
        }
    }
    mutex_exit(&FloodLock);
    while (pExpired != nullptr) {
        FloodItem *pNext = pExpired->next;
        kmem_free(pExpired, sizeof(FloodItem));
        pExpired = pNext;
    }
}

bool CheckFlood(mblk_t *mp, time_t time, int dir)
{
    if (NVX_ATOMIC_LOAD(&FloodList) == nullptr) {
        return false;
    }
    AgeFlood(time);
    FrameIpFields fields;
    if (!GetFrameIpFields(mp, dir, &fields)) {
        return false;
    }
    return TestFlood(fields.ulSource, fields.ucProtocol);
}

bool CheckBypass(mblk_t *mp, int direction)
{
    const U32 ulBypass = NVX_ATOMIC_LOAD(&BypassIp);
    if (ulBypass == 0) {
        return false;
    }
    FrameIpFields fields;
    if (!GetFrameIpFields(mp, direction, &fields)) {
        return false;
    }
    return fields.ulSource == ulBypass || fields.ulDestination == ulBypass;
}

bool BypassHandler(queue_t *q, mblk_t *mp, int direction)
{
    (void)q;
    return CheckBypass(mp, direction);
}

void SetBypass(U32 ulBypass, U32 bPersistant)
{
    NVX_ATOMIC_STORE(&BypassIp, ulBypass);
    NVX_ATOMIC_STORE(&BypassPersistant, bPersistant);
}
