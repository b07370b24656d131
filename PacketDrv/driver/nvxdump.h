/*
 * State dumps of the driver's own records: statistics, bindings with their adapter records and
 * sessions, the adapter table and the capture queues. Requested by the configuration control
 * request; printed through _dprintv (always), the queue entries through _dprintf (while tracing
 * is on).
 *
 * Locks: the walkers (print_all, print_all_bindings, print_all_ppainfo, print_all_queues) take
 * nvx_rwlock and then nvx_bindlock as readers and must be called with no driver lock held; they
 * run in process context (a control request). The single-record printers expect their caller
 * to hold nvx_rwlock as reader (which keeps adapter records and sessions from being freed) and
 * none of the session's mutexes: print_SessionInfo takes captureMutex and blockingMutex, one
 * after the other, to read the fields they guard, and print_GlobalInfo takes sessionInfoMutex
 * to read captureSession.
 */
#ifndef NVX_DRIVER_NVXDUMP_H
#define NVX_DRIVER_NVXDUMP_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Trace switched off for the duration; statistics, bindings, adapter table; switch restored. */
void print_all(void);
void print_stats(void);
void print_all_bindings(void);
void print_BindingInfo(BindingInfo *info);
void print_GlobalInfo(GlobalInfo *info);
void print_SessionInfo(SessionInfo *info);
void print_all_ppainfo(void);
/* Nothing for a free slot or an index outside the table. Caller holds nvx_rwlock (reader). */
void print_ppainfo(int i);
void print_all_queues(void);

/*
 * print_queue - the capture queue block of a session
 * Description: the shared packet queue's descriptor is copied and checked against the region
 *   size the driver keeps (SessionInfo.RcvBufferSize) before any entry is read; every entry
 *   offset, blob offset and length is bounded to the queue. A descriptor that fails the check
 *   prints the block's fixed lines and no entries. first and last are not used.
 */
void print_queue(GlobalInfo *gip, SessionInfo *sip, int first, int last);

/*
 * print_queue_entry - the lines of one frame record (header line and values)
 * Description: trusts pBuffer to be a whole frame record; print_queue calls a bounded variant.
 */
void *print_queue_entry(const void *pBuffer);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXDUMP_H */
