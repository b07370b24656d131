/*
 * DDI device configuration: device numbers, minor nodes, instances, reports, properties,
 * copyin/copyout, and devmap_umem_setup(9F) for exporting umem to a mapping process.
 *
 * Device numbers follow the kernel's word size: LP64 dev_t has the major in the upper 32 bits
 * and the minor in the lower 32; the ILP32 kernel packs a 14-bit major over an 18-bit minor.
 *
 * Minor nodes: ddi_create_minor_node(dip, "name", ...) makes the device path "/dev/name" (a
 * name may contain '/', e.g. "sad/admin"). A CLONE_DEV node is a clone device: each open of it
 * is a clone open (sflag CLONEOPEN) that creates a new stream.
 */
#ifndef _SYS_SUNDDI_H
#define _SYS_SUNDDI_H

#include <sys/ktypes.h>
#include <sys/conf.h>
#include <sys/devops.h>
#include <sys/kproc.h>
#include <sys/umem.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DDI_SUCCESS         0
#define DDI_FAILURE         (-1)
#define DDI_NOT_WELL_FORMED (-2)
#define DDI_EAGAIN          (-3)
#define DDI_EINVAL          (-4)
#define DDI_ENOTSUP         (-5)

#define DDI_PROP_SUCCESS   0
#define DDI_PROP_NOT_FOUND 1

/* Node types and flags of ddi_create_minor_node. */
#define DDI_PSEUDO "ddi_pseudo"
#define DDI_NT_NET "ddi_network"
#define CLONE_DEV  1
#ifndef S_IFCHR
#define S_IFCHR 0x2000
#endif
#ifndef S_IFBLK
#define S_IFBLK 0x6000
#endif

/* Open routine sflag values. */
#define MODOPEN   0x1
#define CLONEOPEN 0x2

/* Data models (ioc_flag, devmap model). */
#define DDI_MODEL_MASK  0x0FF00000
#define DDI_MODEL_ILP32 0x00100000
#define DDI_MODEL_LP64  0x00200000
#define DDI_MODEL_NONE  0
#ifdef _LP64
#define DDI_MODEL_NATIVE DDI_MODEL_LP64
#else
#define DDI_MODEL_NATIVE DDI_MODEL_ILP32
#endif

/* devmap_umem_setup protections and flags. */
#ifndef PROT_READ
#define PROT_READ  0x1
#define PROT_WRITE 0x2
#define PROT_EXEC  0x4
#endif
#define PROT_USER              0x8
#define PROT_ALL               (PROT_READ | PROT_WRITE | PROT_EXEC | PROT_USER)
#define DEVMAP_DEFAULTS        0x00
#define DEVMAP_MAPPING_INVALID 0x01
#define DEVMAP_ALLOW_REMAP     0x02
#define DEVMAP_USE_PAGESIZE    0x04

/* Device numbers (kernel encoding). */
#define NBITSMAJOR32 14
#define NBITSMINOR32 18
#define MAXMAJ32     0x3fffu
#define MAXMIN32     0x3ffffu
#define NBITSMAJOR64 32
#define NBITSMINOR64 32
#define MAXMAJ64     0xffffffffu
#define MAXMIN64     0xffffffffu
#ifdef _LP64
#define NODEV ((dev_t)-1)
static inline dev_t makedevice(major_t maj, minor_t min)
{
    return ((dev_t)maj << NBITSMINOR64) | (dev_t)min;
}
static inline major_t getmajor(dev_t dev)
{
    return (major_t)((dev >> NBITSMINOR64) & MAXMAJ64);
}
static inline minor_t getminor(dev_t dev)
{
    return (minor_t)(dev & MAXMIN64);
}
#else
#define NODEV ((dev_t)0xffffffffu)
static inline dev_t makedevice(major_t maj, minor_t min)
{
    return (dev_t)(((maj & MAXMAJ32) << NBITSMINOR32) | (min & MAXMIN32));
}
static inline major_t getmajor(dev_t dev)
{
    return (major_t)((dev >> NBITSMINOR32) & MAXMAJ32);
}
static inline minor_t getminor(dev_t dev)
{
    return (minor_t)(dev & MAXMIN32);
}
#endif

/* Opaque handles. */
typedef struct devmap_handle *devmap_cookie_t;
struct devmap_callback_ctl;
typedef struct ddi_device_acc_attr {
    ushort_t devacc_attr_version;
    uchar_t devacc_attr_endian_flags;
    uchar_t devacc_attr_dataorder;
} ddi_device_acc_attr_t;

/*
 * ddi_create_minor_node - make a device node of a driver instance
 * Parameters: name - node name, the device path is "/dev/<name>"; spec_type - S_IFCHR or
 *   S_IFBLK; minor - minor number; node_type - DDI_PSEUDO, DDI_NT_NET ...; flag - CLONE_DEV
 *   for a clone device, else 0.
 * Context: attach (process context).
 * Return values: DDI_SUCCESS; DDI_FAILURE for a bad argument or a path already in use.
 */
int ddi_create_minor_node(dev_info_t *dip, const char *name, int spec_type, minor_t minor,
                          const char *node_type, int flag);
/* ddi_remove_minor_node - remove the named node, or every node of the instance (NULL). */
void ddi_remove_minor_node(dev_info_t *dip, const char *name);
/* ddi_report_dev - announce the instance on the console. */
void ddi_report_dev(dev_info_t *dip);
/* ddi_prop_remove_all - remove every property of the instance (there are none here). */
void ddi_prop_remove_all(dev_info_t *dip);
/* ddi_get_instance - instance number (0 for pseudo drivers). */
int ddi_get_instance(dev_info_t *dip);
/* ddi_driver_name - the driver's name. */
const char *ddi_driver_name(dev_info_t *dip);
/* ddi_driver_major - the driver's major number. */
major_t ddi_driver_major(dev_info_t *dip);

/*
 * ddi_copyin / ddi_copyout - copy between a caller's buffer and the kernel
 * Description: the emulated kernel and its callers share one address space, so this is a copy;
 *   a NULL source or destination with len > 0 is a fault.
 * Return values: 0, or -1 on fault (the caller returns EFAULT).
 */
int ddi_copyin(const void *buf, void *driverbuf, size_t cn, int flags);
int ddi_copyout(const void *driverbuf, void *buf, size_t cn, int flags);

/*
 * devmap_umem_setup - export umem to the process mapping the device
 * Description: records that the mapping request is satisfied by len bytes of the allocation
 *   `cookie` from offset koff. koff and len must be page aligned (PAGESIZE), len > 0, and the
 *   range must lie inside the allocation; callbackops must be NULL; flags must be 0.
 * Context: the driver's devmap entry point.
 * Return values: 0 on success; -1 on error.
 */
int devmap_umem_setup(devmap_cookie_t dhp, dev_info_t *dip, struct devmap_callback_ctl *callbackops,
                      ddi_umem_cookie_t cookie, offset_t koff, size_t len, uint_t maxprot,
                      uint_t flags, ddi_device_acc_attr_t *accattrp);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_SUNDDI_H */
