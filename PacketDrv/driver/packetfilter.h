/*
 * The driver's packet filter set: up to FILTER_MAX_COUNT filters, each a remote IPv4 prefix, an
 * IP protocol (or any) and a direction (or either). A frame that matches a filter is passed on
 * without being captured.
 *
 * - Storage: FilterElement records in a block pool of FILTER_MAX_COUNT blocks, indexed by a
 *   tree of as many nodes ordered by CompareFiltersExactMatch (which keeps each distinct filter
 *   once). Both are made once at load (InitializeFilters) and never allocate afterwards.
 * - Matching (CompareFilters against a frame's key of address/32, protocol, direction): the
 *   filter's prefix holds the address, its protocol is the frame's or FILTER_ANY_PROTOCOL, and
 *   its direction is the frame's or FILTER_EITHER_DIRECTION. A filter's any-protocol and
 *   either-direction values are wildcards; the frame's own values are taken literally (a frame
 *   that carries IP protocol 255 matches only any-protocol filters and filters for 255).
 * - IsFiltered answers true exactly when some filter of the set matches, whatever the order
 *   in which the filters were added: the matching comparison is not the tree's order (a /8
 *   filter and a /32 inside it sort apart, and a search path can pass either), so the lookup
 *   tests every node until one matches instead of following one path.
 * - Addresses are numbers whose most significant byte is the first octet (nvxflood.h).
 *
 * Concurrency: nvx_pflock guards the pool, the tree and the count: writer for initialise,
 * destroy, flush, add, delete and dump (the tree walk uses the tree's one parent stack); reader
 * for IsFiltered and GetFilterCount, which run in the put procedures on any processor at once.
 * nvx_pflock is taken inside nvx_rwlock (held as reader by the per-frame decision) and never
 * around another lock.
 *
 * Context: InitializeFilters and DestroyFilters at load and unload (process context); add,
 * delete and flush from control requests (process context); IsFiltered, GetFilterCount and
 * CheckFiltered from the put procedures (any context). Nothing here sleeps except on the lock.
 */
#ifndef NVX_DRIVER_PACKETFILTER_H
#define NVX_DRIVER_PACKETFILTER_H

#include <sys/stream.h>

#include "nvxcontrol.h"
#include "nvxtypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FILTER_MAX_COUNT        32  /* distinct filters in the set; tree nodes and pool blocks */
#define FILTER_ANY_PROTOCOL     255 /* ucProtocol: every protocol */
#define FILTER_INBOUND          1   /* ucDirection: frames from the remote address */
#define FILTER_EITHER_DIRECTION 2   /* ucDirection: both directions */
#define FILTER_OUTBOUND         3   /* ucDirection: frames to the remote address */

/* Trace level of the filter set's messages (added, deleted, dump) and of the frame check. */
#define FILTER_TRACE_LEVEL 2

/*
 * CompareFiltersExactMatch - the tree's order (and the library's sort order)
 * Description: address (unsigned: 1 or -1), then netmask (a - b), then protocol with
 *   any-protocol sorting as 127 unless the other side is 127, where it sorts after it, then
 *   direction (a - b). 0 only for identical filters.
 */
int CompareFiltersExactMatch(const void *pvA, const void *pvB);

/*
 * CompareFilters - matching comparison of a frame key against a filter
 * Description: 0 when the filter matches the key (rules above); otherwise non-zero (the
 *   prefixes' order when they differ). The key's ucNetMask narrows the compared prefix too;
 *   frame keys have 32.
 */
int CompareFilters(const void *pvKey, const void *pvFilter);

/* InitializeFilters - create the element pool and the tree, empty.
 * Return values: 0; the pool's or tree's code when memory could not be had (nothing is kept,
 * and a later call may try again). */
int InitializeFilters(void);

/* DestroyFilters - release the pool and the tree (their WARNING lines report filters still
 * held). */
void DestroyFilters(void);

/* FlushFilters - remove every filter. Return values: 0; 4098 when the set was never created. */
int FlushFilters(void);

/*
 * AddFilter - add a filter, or find the identical one already in the set
 * Return values: the stored record (new or already present); null with an ERROR line when the
 *   element pool is exhausted (also for a repeat of a stored filter: a full set refuses every
 *   add) or the tree is full.
 */
FilterElement *AddFilter(U32 ulIpAddress, U8 ucNetMask, U8 ucProtocol, U8 ucDirection);

/* DeleteFilter - remove the identical filter if present. Return values: always 0. */
int DeleteFilter(U32 ulIpAddress, U8 ucNetMask, U8 ucProtocol, U8 ucDirection);

/* IsFiltered - true when some filter matches a frame with this remote address, IP protocol
 * and direction (FILTER_INBOUND or FILTER_OUTBOUND). Cost: one reader hold and at most one
 * comparison per filter, no allocation. */
bool IsFiltered(U32 ulIpAddress, U8 ucProtocol, U8 ucDirection);

/* GetFilterCount - number of distinct filters in the set. */
U32 GetFilterCount(void);

/* DumpFilters - trace every node of the tree (level 2). */
void DumpFilters(void);

/*
 * CheckFiltered - the frame matches the filter set
 * Description: reads the frame's IP protocol and remote address (source for inbound frames,
 *   destination for outbound ones) at the fixed offsets (GetFrameIpFields, nvxflood.h) and
 *   asks IsFiltered. Frames that are not IPv4, or too short for those offsets, are not
 *   filtered, and neither is anything while the set is empty.
 * Parameters: mp - a bare M_DATA frame or a control block followed by the data; direction -
 *   DIR_INBOUND or DIR_OUTBOUND.
 */
bool CheckFiltered(mblk_t *mp, int direction);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_PACKETFILTER_H */
