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

/*
 * add_open_module_locked, remove_open_module_locked - the open module list: every module
 *   instance from its open to its close, bound or not. A held frame may be passed on to its
 *   queue exactly while its module instance is on this list; unbinding (DL_UNBIND_REQ) does not
 *   take it off, only the close does.
 * Context: open and close (process context). Locks: nvx_bindlock held as writer by the caller
 *   (under nvx_rwlock at the close).
 */
void add_open_module_locked(BindingInfo *bip);
void remove_open_module_locked(BindingInfo *bip);

/*
 * find_open_binding - the binding of a still open stream that owns q: a device stream on the
 *   binding list or a module instance on the open module list; with bip given, only bip itself
 *   (found on either list) will do
 * Context: any; never sleeps. Locks: takes nvx_bindlock as reader; the caller may hold
 *   nvx_rwlock or frameMutex (both come before it).
 * Return values: the binding, or NULL when q's stream has closed.
 */
BindingInfo *find_open_binding(queue_t *q, BindingInfo *bip);
/* The same with nvx_bindlock already held (reader or writer) by the caller. */
BindingInfo *find_open_binding_locked(queue_t *q, BindingInfo *bip);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXBIND_H */
