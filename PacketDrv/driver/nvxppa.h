/*
 * The adapter table ppaList: registration of the interface beneath a module instance from its
 * DL_INFO_ACK, and lookup by adapter name. Slots are never removed while the module is loaded.
 */
#ifndef NVX_DRIVER_NVXPPA_H
#define NVX_DRIVER_NVXPPA_H

#include "nvx.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * add_ppa - register or look up the interface beneath module instance q
 * Description: pinfo is the DL_INFO_ACK the instance asked for. A style-2 interface is found by
 *   the name driver + dl_ppa of the binding; any other style by its physical address and driver
 *   name prefix. A new interface takes the first free slot. The binding's ppaname is set to the
 *   adapter's name in every successful case.
 * Context: the module's read put procedure (interrupt context); never sleeps.
 * Locks: takes nvx_rwlock as writer; the caller holds no driver lock.
 * Return values: the slot index; MAX_PPA when the address is longer than 6 bytes (or negative),
 *   when the acknowledgement does not hold the address it describes, or the table is full.
 */
U32 add_ppa(queue_t *q, BindingInfo *bip, mblk_t *pinfo);

/*
 * find_ppa - look up an adapter by the binding's ppaname
 * Context: process context (the adapter-open request). Locks: nvx_rwlock as reader.
 * Return values: the slot index, or MAX_PPA when no slot has that name.
 */
U32 find_ppa(BindingInfo *bip);

/*
 * nvx_init_ppa_table - every slot free: zero, named NVX_UNKNOWN_PPA
 * Context: module load and unload (and tests), with no stream open.
 */
void nvx_init_ppa_table(void);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXPPA_H */
