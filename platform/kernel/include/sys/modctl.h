/*
 * Loadable module linkage: the records a kernel object hands to mod_install from its _init,
 * and mod_install(9F), mod_remove(9F), mod_info(9F).
 *
 * A kernel object holding a driver and a STREAMS module lists a modldrv and a modlstrmod in
 * ml_linkage (in any order) followed by NULL; mod_install installs them in list order.
 */
#ifndef _SYS_MODCTL_H
#define _SYS_MODCTL_H

#include <sys/ktypes.h>
#include <sys/conf.h>
#include <sys/devops.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODREV_1          1
#define MODMAXNAMELEN     32
#define MODMAXLINKINFOLEN 32
#define MODMAXLINK        10

/* Kind of a linkage record (opaque to modules: they only take the address). */
struct mod_ops {
    int mo_kind; /* private */
};
extern struct mod_ops mod_driverops; /* modldrv */
extern struct mod_ops mod_strmodops; /* modlstrmod */

struct modldrv {
    struct mod_ops *drv_modops;  /* &mod_driverops */
    const char *drv_linkinfo;    /* description */
    struct dev_ops *drv_dev_ops; /* the driver */
};

struct modlstrmod {
    struct mod_ops *strmod_modops; /* &mod_strmodops */
    const char *strmod_linkinfo;   /* description */
    struct fmodsw *strmod_fmodsw;  /* the module */
};

struct modlinkage {
    int ml_rev; /* MODREV_1 */
#ifdef _LP64
    void *ml_linkage[7]; /* NULL-terminated */
#else
    void *ml_linkage[4];
#endif
};

struct modspecific_info {
    char msi_linkinfo[MODMAXLINKINFOLEN]; /* link text, truncated */
    int msi_p0;                           /* driver: its major; module: -1 */
};

struct modinfo {
    int mi_info;
    int mi_state;
    int mi_id;
    int mi_nextid;
    caddr_t mi_base;
    size_t mi_size;
    int mi_rev;
    int mi_loadcnt;
    char mi_name[MODMAXNAMELEN];
    struct modspecific_info mi_msinfo[MODMAXLINK];
};

/*
 * mod_install - install the linkages of a loading module
 * Description: a driver is registered under the loading module's name (its major comes from
 *   the name-to-major table, assigned at first use) and its instance 0 attached; a STREAMS
 *   module is entered in the module switch table by its f_name. On failure the linkages
 *   installed so far are removed again.
 * Context: the module's _init (process context).
 * Return values: 0; EINVAL bad revision or linkage; EEXIST name already installed; ENXIO
 *   attach failed.
 */
int mod_install(struct modlinkage *modlp);

/*
 * mod_remove - remove the linkages of an unloading module
 * Description: refused as a whole while any stream uses the driver or a module (EBUSY);
 *   otherwise detaches the driver (a failing detach is EBUSY) and removes every linkage.
 * Context: the module's _fini. Return values: 0, EBUSY, EINVAL.
 */
int mod_remove(struct modlinkage *modlp);

/* mod_info - fill *modinfop from the linkage. Return values: non-zero on success, 0 on failure. */
int mod_info(struct modlinkage *modlp, struct modinfo *modinfop);

#ifdef __cplusplus
}

#include <cstddef>
static_assert(sizeof(struct modlinkage) == (sizeof(void *) == 8 ? 64 : 20), "modlinkage size");
static_assert(offsetof(struct modlinkage, ml_linkage) == sizeof(void *), "ml_linkage offset");
#endif

#endif /* _SYS_MODCTL_H */
