/*
 * Character device entry points (cb_ops), the STREAMS module switch entry (fmodsw) and the
 * D_* driver flags.
 *
 * Fillers for unused entry points: nulldev (succeeds, returns 0), nodev (ENXIO), nochpoll
 * (ENXIO). On the target they are unprototyped functions that fit every slot; in C++ they are
 * constants that convert to any entry point type, so `nulldev` can be written in any cb_ops or
 * dev_ops slot as in C.
 */
#ifndef _SYS_CONF_H
#define _SYS_CONF_H

#include <sys/ktypes.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef FMNAMESZ
#define FMNAMESZ 8
#endif

/* Driver and module flags (cb_flag, f_flag). */
#define D_NEW         0x0000
#define D_MP          0x0020
#define D_MTSAFE      0x0020
#define D_HOTPLUG     0x0004
#define D_DEVMAP      0x0100
#define D_64BIT       0x0200
#define D_SYNCSTR     0x0400
#define D_MTOCEXCL    0x0800
#define D_MTPUTSHARED 0x1000
#define D_MTPERQ      0x2000
#define D_MTQPAIR     0x4000
#define D_MTPERMOD    0x6000
#define D_MTOUTPERIM  0x8000

#define CB_REV 1

struct buf;
struct uio;
struct as;
struct aio_req;
struct pollhead;
struct streamtab;
typedef struct devmap_handle *devmap_cookie_t;

/* ddi_prop_op_t: operations of cb_prop_op. */
typedef enum {
    PROP_LEN = 0,
    PROP_LEN_AND_VAL_BUF = 1,
    PROP_LEN_AND_VAL_ALLOC = 2,
    PROP_EXISTS = 3
} ddi_prop_op_t;

struct cb_ops {
    int (*cb_open)(dev_t *devp, int flag, int otyp, cred_t *credp);
    int (*cb_close)(dev_t dev, int flag, int otyp, cred_t *credp);
    int (*cb_strategy)(struct buf *bp);
    int (*cb_print)(dev_t dev, char *str);
    int (*cb_dump)(dev_t dev, caddr_t addr, daddr_t blkno, int nblk);
    int (*cb_read)(dev_t dev, struct uio *uiop, cred_t *credp);
    int (*cb_write)(dev_t dev, struct uio *uiop, cred_t *credp);
    int (*cb_ioctl)(dev_t dev, int cmd, intptr_t arg, int mode, cred_t *credp, int *rvalp);
    int (*cb_devmap)(dev_t dev, devmap_cookie_t dhp, offset_t off, size_t len, size_t *maplen,
                     uint_t model);
    int (*cb_mmap)(dev_t dev, off_t off, int prot);
    int (*cb_segmap)(dev_t dev, off_t off, struct as *asp, caddr_t *addrp, off_t len, uint_t prot,
                     uint_t maxprot, uint_t flags, cred_t *credp);
    int (*cb_chpoll)(dev_t dev, short events, int anyyet, short *reventsp, struct pollhead **phpp);
    int (*cb_prop_op)(dev_t dev, dev_info_t *dip, ddi_prop_op_t prop_op, int mod_flags, char *name,
                      caddr_t valuep, int *lengthp);
    struct streamtab *cb_str; /* non-NULL: a STREAMS driver */
    int cb_flag;              /* D_* */
    int cb_rev;               /* CB_REV, or 0 without the async entries */
    int (*cb_aread)(dev_t dev, struct aio_req *aio, cred_t *credp);
    int (*cb_awrite)(dev_t dev, struct aio_req *aio, cred_t *credp);
};

/* STREAMS module switch entry (modlstrmod). */
struct fmodsw {
    char f_name[FMNAMESZ + 1]; /* module name */
    struct streamtab *f_str;   /* its queue procedures */
    int f_flag;                /* D_* flags */
};

/* Default property handler: no properties here (DDI_PROP_NOT_FOUND). */
int ddi_prop_op(dev_t dev, dev_info_t *dip, ddi_prop_op_t prop_op, int mod_flags, char *name,
                caddr_t valuep, int *lengthp);
/* Default segmap of devmap drivers (the mapping path calls cb_devmap itself; returns 0). */
int ddi_devmap_segmap(dev_t dev, off_t off, struct as *asp, caddr_t *addrp, off_t len, uint_t prot,
                      uint_t maxprot, uint_t flags, cred_t *credp);
/* No poll support: ENXIO. */
int nochpoll(dev_t dev, short events, int anyyet, short *reventsp, struct pollhead **phpp);

#ifndef __cplusplus
int nulldev();
int nodev();
#endif

#ifdef __cplusplus
}

namespace nvx_conf
{
// A filler entry point: converts to a pointer to any function returning an int (or void),
// which returns Value whatever its arguments.
template <int Value> struct filler {
    template <class R, class... A> using fn = R (*)(A...);
    template <class R, class... A> constexpr operator fn<R, A...>() const noexcept
    {
        return [](A...) -> R { return static_cast<R>(Value); };
    }
    constexpr int operator()() const noexcept { return Value; }
};
} // namespace nvx_conf

#define nulldev (::nvx_conf::filler<0>{})
#define nodev   (::nvx_conf::filler<6 /* ENXIO */>{})

static_assert(sizeof(struct fmodsw) == (sizeof(void *) == 8 ? 32 : 20), "fmodsw size");
#endif

#endif /* _SYS_CONF_H */
