/*
 * The binding list, the adapter table operations and the frame-geometry routines of the nvx
 * driver (records in nvx.h).
 *
 * Lock order: nvx_rwlock before nvx_bindlock. add_binding and remove_binding take nvx_bindlock
 * as writer and must be called with neither lock held; add_ppa takes nvx_rwlock as writer and
 * find_ppa as reader, both with no driver lock held.
 */
#ifndef NVX_DRIVER_NVXBIND_H
#define NVX_DRIVER_NVXBIND_H

#include "nvx.h"
#include "nvxgeom.h"
#include "nvxppa.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * add_binding - append a binding to the tail of the binding list
 * Context: open, bind and control paths (process or interrupt context); never sleeps.
 * Locks: takes nvx_bindlock as writer; the caller holds neither nvx_rwlock nor nvx_bindlock.
 */
void add_binding(BindingInfo *bip);

/*
 * remove_binding - unlink a binding from the binding list
 * Description: a binding that is not on the list only prints a warning; the list is unchanged.
 * Context and locks: as add_binding.
 */
void remove_binding(BindingInfo *bip);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXBIND_H */
