/*
 * The packet filter set (contract in packetfilter.h).
 *
 * State, all guarded by nvx_pflock:
 *   s_hPool         FILTER_MAX_COUNT blocks of one FilterElement: the stored filters
 *   s_hTree         FILTER_MAX_COUNT nodes keyed by those records, exact order
 *   s_ulFilterCount distinct filters held (blocks handed out and nodes in the tree)
 * Both pools have FILTER_MAX_COUNT blocks, so the element pool runs out first and the tree's
 * "full" path is a second line of defence.
 */
#include "packetfilter.h"

#include <sys/cmn_err.h>
#include <sys/ksynch.h>

#include "btree.h"
#include "debug.h"
#include "nvx.h"
#include "nvxflood.h"
#include "nvxutil.h"
#include "poolmgt.h"

namespace
{

BTreeHandle s_hTree;
PoolHandle s_hPool;
U32 s_ulFilterCount;

constexpr U8 FRAME_KEY_NETMASK = 32;

/* Protocol as the exact order sorts it: any-protocol between 127 and 128, after 127 itself. */
int MappedProtocol(U8 ucProtocol, U8 ucOther)
{
    if (ucProtocol == FILTER_ANY_PROTOCOL && ucOther != 127) {
        return 127;
    }
    return ucProtocol;
}

/* The two addresses compared over their first ucNetMask bits: -1, 0 or 1. */
int ComparePrefixes(U32 ulA, U32 ulB, unsigned uNetMask)
{
    if (uNetMask == 0) {
        return 0;
    }
    const unsigned uShift = 32 - (uNetMask > 32 ? 32 : uNetMask);
    const U32 ulPrefixA = uShift == 32 ? 0 : ulA >> uShift;
    const U32 ulPrefixB = uShift == 32 ? 0 : ulB >> uShift;
    if (ulPrefixA == ulPrefixB) {
        return 0;
    }
    return ulPrefixA > ulPrefixB ? 1 : -1;
}

void DumpFilterNode(const BTreeNode *pNode, VISIT eVisit, int nLevel)
{
    const auto *pFilter = static_cast<const FilterElement *>(pNode->pvKey);
    char szAddress[16];
    _dlprintf(FILTER_TRACE_LEVEL,
              "Node 0x%x IP = %s; netmask = %d; protocol = %d; direction = %d; visit = %s; "
              "level = %d\n",
              AddressAs32(pNode), nvx_inet_ntoa(pFilter->ulIpAddress, szAddress, sizeof(szAddress)),
              pFilter->ucNetMask, pFilter->ucProtocol, pFilter->ucDirection, VisitToString(eVisit),
              nLevel);
}

FilterElement MakeFilter(U32 ulIpAddress, U8 ucNetMask, U8 ucProtocol, U8 ucDirection)
{
    FilterElement filter = {};
    filter.ulIpAddress = ulIpAddress;
    filter.ucNetMask = ucNetMask;
    filter.ucProtocol = ucProtocol;
    filter.ucDirection = ucDirection;
    return filter;
}

} // namespace

int CompareFiltersExactMatch(const void *pvA, const void *pvB)
{
    const auto *pA = static_cast<const FilterElement *>(pvA);
    const auto *pB = static_cast<const FilterElement *>(pvB);
    if (pA->ulIpAddress != pB->ulIpAddress) {
        return pA->ulIpAddress > pB->ulIpAddress ? 1 : -1;
    }
    if (pA->ucNetMask != pB->ucNetMask) {
        return pA->ucNetMask - pB->ucNetMask;
    }
    const int nProtocolOrder = MappedProtocol(pA->ucProtocol, pB->ucProtocol) -
                               MappedProtocol(pB->ucProtocol, pA->ucProtocol);
    if (nProtocolOrder != 0) {
        return nProtocolOrder;
    }
    return pA->ucDirection - pB->ucDirection;
}

int CompareFilters(const void *pvKey, const void *pvFilter)
{
    const auto *pKey = static_cast<const FilterElement *>(pvKey);
    const auto *pFilter = static_cast<const FilterElement *>(pvFilter);
    const unsigned uNetMask =
        pKey->ucNetMask < pFilter->ucNetMask ? pKey->ucNetMask : pFilter->ucNetMask;
    const int nPrefixOrder = ComparePrefixes(pKey->ulIpAddress, pFilter->ulIpAddress, uNetMask);
    if (nPrefixOrder != 0) {
        return nPrefixOrder;
    }
    /* The filter's wildcards match anything; the frame's values are literal. */
    if (pFilter->ucProtocol != FILTER_ANY_PROTOCOL && pKey->ucProtocol != pFilter->ucProtocol) {
        return pKey->ucProtocol - pFilter->ucProtocol;
    }
    if (pFilter->ucDirection == FILTER_EITHER_DIRECTION ||
        pKey->ucDirection == pFilter->ucDirection) {
        return 0;
    }
    const int nProtocolOrder = MappedProtocol(pKey->ucProtocol, pFilter->ucProtocol) -
                               MappedProtocol(pFilter->ucProtocol, pKey->ucProtocol);
    if (nProtocolOrder != 0) {
        return nProtocolOrder;
    }
    return pKey->ucDirection - pFilter->ucDirection;
}

int InitializeFilters(void)
{
    int rc = 0;
    rw_enter(&nvx_pflock, RW_WRITER);
    if (s_hPool == nullptr) {
        rc = AllocatePool(&s_hPool, sizeof(FilterElement), FILTER_MAX_COUNT);
        if (rc == 0) {
            rc = tcreate(&s_hTree, FILTER_MAX_COUNT);
            if (rc != 0) {
                /* Without its tree the pool is useless: give it back so nothing leaks and a
                 * later initialisation starts again from nothing. */
                FreePool(s_hPool);
                s_hPool = nullptr;
            }
        }
    }
    s_ulFilterCount = 0;
    rw_exit(&nvx_pflock);
    return rc;
}

void DestroyFilters(void)
{
    rw_enter(&nvx_pflock, RW_WRITER);
    if (s_hPool != nullptr) {
        FreePool(s_hPool);
    }
    if (s_hTree != nullptr) {
        tdestroy(s_hTree);
    }
    s_hPool = nullptr;
    s_hTree = nullptr;
    s_ulFilterCount = 0;
    rw_exit(&nvx_pflock);
}

int FlushFilters(void)
{
    rw_enter(&nvx_pflock, RW_WRITER);
    const int rc = tflush(s_hTree);
    if (rc == 0) {
        FreeAllBlocks(s_hPool);
        s_ulFilterCount = 0;
    }
    rw_exit(&nvx_pflock);
    return rc;
}

FilterElement *AddFilter(U32 ulIpAddress, U8 ucNetMask, U8 ucProtocol, U8 ucDirection)
{
    rw_enter(&nvx_pflock, RW_WRITER);
    auto *pFilter = static_cast<FilterElement *>(AllocateBlock(s_hPool));
    if (pFilter == nullptr) {
        rw_exit(&nvx_pflock);
        printf("ERROR:  unable to allocate space for new filter.\n");
        return nullptr;
    }
    *pFilter = MakeFilter(ulIpAddress, ucNetMask, ucProtocol, ucDirection);

    const BTreeNode *pNode = tsearch(pFilter, s_hTree, CompareFiltersExactMatch);
    if (pNode == nullptr) {
        FreeBlock(s_hPool, pFilter);
        rw_exit(&nvx_pflock);
        printf("ERROR:  unable to add filter; most likely cause:  tree is full.\n");
        return nullptr;
    }
    char szAddress[16];
    _dlprintf(FILTER_TRACE_LEVEL,
              "INFO:  added filter; ip = %s, netmask = %d, protocol = %d, direction = %d.\n",
              nvx_inet_ntoa(ulIpAddress, szAddress, sizeof(szAddress)), ucNetMask, ucProtocol,
              ucDirection);
    if (pNode->pvKey == pFilter) {
        s_ulFilterCount++;
    } else {
        /* An identical filter is stored already: the add succeeds with that one. */
        FreeBlock(s_hPool, pFilter);
        pFilter = static_cast<FilterElement *>(const_cast<void *>(pNode->pvKey));
    }
    rw_exit(&nvx_pflock);
    return pFilter;
}

int DeleteFilter(U32 ulIpAddress, U8 ucNetMask, U8 ucProtocol, U8 ucDirection)
{
    const FilterElement key = MakeFilter(ulIpAddress, ucNetMask, ucProtocol, ucDirection);
    rw_enter(&nvx_pflock, RW_WRITER);
    const BTreeNode *pNode = tfind(&key, s_hTree, CompareFiltersExactMatch);
    if (pNode != nullptr) {
        void *pFilter = const_cast<void *>(pNode->pvKey);
        tdelete(&key, s_hTree, CompareFiltersExactMatch);
        FreeBlock(s_hPool, pFilter);
        s_ulFilterCount--;
        char szAddress[16];
        _dlprintf(FILTER_TRACE_LEVEL,
                  "INFO:  deleted filter; ip = %s, netmask = %d, protocol = %d, direction = %d.\n",
                  nvx_inet_ntoa(ulIpAddress, szAddress, sizeof(szAddress)), ucNetMask, ucProtocol,
                  ucDirection);
    }
    rw_exit(&nvx_pflock);
    return 0;
}

bool IsFiltered(U32 ulIpAddress, U8 ucProtocol, U8 ucDirection)
{
    const FilterElement key = MakeFilter(ulIpAddress, FRAME_KEY_NETMASK, ucProtocol, ucDirection);
    const BTreeNode *apStack[FILTER_MAX_COUNT];
    rw_enter(&nvx_pflock, RW_READER);
    const bool bFiltered =
        tscan(&key, s_hTree, CompareFilters, apStack, FILTER_MAX_COUNT) != nullptr;
    rw_exit(&nvx_pflock);
    return bFiltered;
}

U32 GetFilterCount(void)
{
    rw_enter(&nvx_pflock, RW_READER);
    const U32 ulCount = s_ulFilterCount;
    rw_exit(&nvx_pflock);
    return ulCount;
}

void DumpFilters(void)
{
    /* As writer: the walk keeps its path on the tree's single parent stack. */
    rw_enter(&nvx_pflock, RW_WRITER);
    twalk(s_hTree, DumpFilterNode);
    rw_exit(&nvx_pflock);
}

bool CheckFiltered(mblk_t *mp, int direction)
{
    FrameIpFields fields;
    if (!GetFrameIpFields(mp, direction, &fields) || GetFilterCount() == 0) {
        return false;
    }
    char szAddress[16];
    if (direction == DIR_OUTBOUND) {
        _dlprintf(16, "Checking packet filter collection for %s(%d) outbound.\n",
                  nvx_inet_ntoa(fields.ulDestination, szAddress, sizeof(szAddress)),
                  fields.ucProtocol);
        return IsFiltered(fields.ulDestination, fields.ucProtocol, DIR_OUTBOUND);
    }
    _dlprintf(16, "Checking packet filter collection for %s(%d) inbound.\n",
              nvx_inet_ntoa(fields.ulSource, szAddress, sizeof(szAddress)), fields.ucProtocol);
    return IsFiltered(fields.ulSource, fields.ucProtocol, static_cast<U8>(direction));
}
