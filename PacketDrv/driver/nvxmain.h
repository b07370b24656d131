/*
 * The two roles of the nvx kernel object and what makes them exist: the loadable-module
 * entry points and linkage (a STREAMS module "nvx" and the clone pseudo-device /dev/nvx), the
 * device configuration entry points, the open and close routines shared by both roles, and the
 * mapping of a capture region into the process that owns a device stream.
 *
 * Built into the kernel object, the module entry points are _init, _info and _fini. Linked into
 * a program (the nvx_driver library that tests link, NVX_LINKED_IN) those names belong to the C
 * runtime's start files, so the same functions are nvx_linked_init, nvx_linked_info and
 * nvx_linked_fini there; the program installs them with the platform's built-in module loader.
 */
#ifndef NVX_DRIVER_NVXMAIN_H
#define NVX_DRIVER_NVXMAIN_H

#include "nvx.h"

#include <sys/devops.h>
#include <sys/sunddi.h>

#ifdef NVX_LINKED_IN
#define _init nvx_linked_init
#define _info nvx_linked_info
#define _fini nvx_linked_fini
#endif

struct modinfo;

#ifdef __cplusplus
extern "C" {
#endif

/*
 * _init - load: console banner, flood list, the three reader/writer locks, a free adapter
 *   table, module linkage (which attaches the pseudo device), filter set
 * Return values: 0; the linkage's error; the filter set's error, after which the linkage is
 *   removed again and everything made here is released.
 */
int _init(void);
/* _info - the module information of the linkage (non-zero on success). */
int _info(struct modinfo *modinfop);
/* _fini - unload: refused with the linkage's error (EBUSY while a stream is open), changing
 * nothing; otherwise filter set, locks and flood list are released. */
int _fini(void);

/* Device configuration entry points (DDI_SUCCESS or DDI_FAILURE). */
int nvx_attach(dev_info_t *dip, ddi_attach_cmd_t cmd);
int nvx_detach(dev_info_t *dip, ddi_detach_cmd_t cmd);
int nvx_getinfo(dev_info_t *dip, ddi_info_cmd_t cmd, void *arg, void **result);

/*
 * nvx_open - open routine of both roles
 * Description: a module push gets a binding that joins the binding list when its stream binds;
 *   a device open gets a binding on the list at once, with the lowest free clone minor
 *   (chosen and taken in one nvx_bindlock writer section). A re-open returns 0.
 * Context: the opening thread. Return values: 0; ENOMEM.
 */
int nvx_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *credp);
/*
 * nvx_close - close routine of both roles
 * Description: a device stream stops the capture it opened; a module instance flushes the
 *   session of its adapter (held frames go on while the stream still works), then leaves.
 * Return values: 0.
 */
int nvx_close(queue_t *q, int flag, cred_t *credp);

/*
 * nvx_devmap - map the capture region of the device stream dev
 * Description: refuses (ENXIO) a stream without an adapter, session or region, and any range
 *   that does not lie inside the region: a negative offset, a length whose page rounding
 *   overflows, an offset beyond the region, a rounded length beyond what is left from offset.
 * Context: the mapping process's thread. Locks: nvx_rwlock (reader) for the whole call, which
 *   keeps the adapter record and session alive; nvx_bindlock (reader) inside it.
 * Return values: 0; ENXIO; the error of devmap_umem_setup.
 */
int nvx_devmap(dev_t dev, devmap_cookie_t dhp, offset_t off, size_t len, size_t *maplen,
               uint_t model);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DRIVER_NVXMAIN_H */
