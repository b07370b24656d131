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

/*
 * add_binding_locked, remove_binding_locked - the same with nvx_bindlock already held as writer
 *   by the caller, for paths that must change the list and other state in one step (a clone
 *   open choosing its minor; binding and unbinding under nvx_rwlock, which comes first).
 * Return values (remove_binding_locked): 1 unlinked; 0 not on the list (no warning printed).
 */
void add_binding_locked(BindingInfo *bip);
int remove_binding_locked(BindingInfo *bip);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXBIND_H */
