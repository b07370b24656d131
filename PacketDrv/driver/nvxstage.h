/*
 * Flow control of a capture session, as the per-frame decision (nvx_data) consults it.
 */
#ifndef NVX_DRIVER_NVXSTAGE_H
#define NVX_DRIVER_NVXSTAGE_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * nvx_flow_controlled - 1 when the session is flow controlled (the staging queue overflowed and
 *   no read request has caught up since): the caller forwards the frame uncaptured, and it is
 *   counted here in ulPacketsLost. 0 otherwise.
 * Context: put procedures, nvx_rwlock held as reader; lock-free (relaxed atomics).
 */
int nvx_flow_controlled(SessionInfo *sip);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXSTAGE_H */
