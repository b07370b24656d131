/*
 * Device operations (dev_ops) and the DDI command enumerations of attach, detach, getinfo and
 * reset.
 */
#ifndef _SYS_DEVOPS_H
#define _SYS_DEVOPS_H

#include <sys/ktypes.h>
#include <sys/conf.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEVO_REV 4

typedef enum { DDI_INFO_DEVT2DEVINFO = 0, DDI_INFO_DEVT2INSTANCE = 1 } ddi_info_cmd_t;
typedef enum { DDI_ATTACH = 0, DDI_RESUME = 1, DDI_PM_RESUME = 2 } ddi_attach_cmd_t;
typedef enum {
    DDI_DETACH = 0,
    DDI_SUSPEND = 1,
    DDI_PM_SUSPEND = 2,
    DDI_HOTPLUG_DETACH = 3
} ddi_detach_cmd_t;
typedef enum { DDI_RESET_FORCE = 0 } ddi_reset_cmd_t;

struct bus_ops;

struct dev_ops {
    int devo_rev;    /* DEVO_REV */
    int devo_refcnt; /* 0 */
    int (*devo_getinfo)(dev_info_t *dip, ddi_info_cmd_t cmd, void *arg, void **result);
    int (*devo_identify)(dev_info_t *dip);
    int (*devo_probe)(dev_info_t *dip);
    int (*devo_attach)(dev_info_t *dip, ddi_attach_cmd_t cmd);
    int (*devo_detach)(dev_info_t *dip, ddi_detach_cmd_t cmd);
    int (*devo_reset)(dev_info_t *dip, ddi_reset_cmd_t cmd);
    struct cb_ops *devo_cb_ops;
    struct bus_ops *devo_bus_ops; /* NULL for leaf drivers */
    int (*devo_power)(dev_info_t *dip, int component, int level);
    int (*devo_quiesce)(dev_info_t *dip);
};

/* devo_quiesce filler. */
int ddi_quiesce_not_needed(dev_info_t *dip);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_DEVOPS_H */
