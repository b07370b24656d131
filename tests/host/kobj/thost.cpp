// Kernel object of the host tests: the clone driver "thost" and the pass-through module
// "thostm" (see thost.h for the requests).
//
// Context: ioctls and M_PCPROTO requests run in the write put procedure in the caller's
// connection thread (its process context), so they may wait; the read side only passes
// messages up. Per-minor state lives in a fixed table guarded by th_lock; the interruptible
// waits use one condition variable per minor that nothing signals (they end by signal or
// timeout only).
#include "../thost.h"

#include <sys/cmn_err.h>
#include <sys/ddi.h>
#include <sys/kproc.h>
#include <sys/ksynch.h>
#include <sys/modctl.h>
#include <sys/stream.h>
#include <sys/stropts.h>
#include <sys/sunddi.h>
#include <sys/umem.h>

#include <errno.h>
#include <string.h>

#define TH_MINORS 256

struct th_minor {
    int used;
    ddi_umem_cookie_t cookie;
    unsigned char *region;
    kcondvar_t cv;
};

static kmutex_t th_lock; // guards th_minors[].used and th_counts
static struct th_minor th_minors[TH_MINORS];
static struct th_stats th_counts;
static dev_info_t *th_dip;

static void th_reply(queue_t *q, mblk_t *mp, unsigned char type, int rval, int error,
                     const void *data, size_t len)
{
    struct iocblk *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    if (mp->b_cont) {
        freemsg(mp->b_cont);
        mp->b_cont = NULL;
    }
    if (len) {
        mblk_t *d = allocb(len, BPRI_MED);
        if (!d) {
            type = M_IOCNAK;
            error = ENOMEM;
        } else {
            memcpy(d->b_wptr, data, len);
            d->b_wptr += len;
            mp->b_cont = d;
        }
    }
    mp->b_datap->db_type = type;
    ioc->ioc_count = type == M_IOCACK ? len : 0;
    ioc->ioc_rval = rval;
    ioc->ioc_error = error;
    qreply(q, mp);
}

// Waits on the minor's condition variable up to ms; returns 1 when a signal ended the wait.
static int th_wait_sig(struct th_minor *m, unsigned ms)
{
    int signalled = 0;
    mutex_enter(&th_lock);
    clock_t deadline = ddi_get_lbolt() + drv_usectohz(static_cast<clock_t>(ms) * 1000);
    for (;;) {
        clock_t rc = cv_timedwait_sig(&m->cv, &th_lock, deadline);
        if (rc == 0) {
            signalled = 1;
            th_counts.signalled++;
            break;
        }
        if (rc < 0) {
            th_counts.timed_out++;
            break;
        }
    }
    mutex_exit(&th_lock);
    return signalled;
}

static void th_ioctl(queue_t *q, mblk_t *mp)
{
    struct iocblk *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    struct th_minor *m = static_cast<struct th_minor *>(q->q_ptr);
    unsigned char buf[256];
    size_t n = 0;
    for (mblk_t *b = mp->b_cont; b; b = b->b_cont) {
        size_t piece = static_cast<size_t>(MBLKL(b));
        if (n + piece > sizeof buf)
            piece = sizeof buf - n;
        memcpy(buf + n, b->b_rptr, piece);
        n += piece;
    }
    switch (ioc->ioc_cmd) {
    case TH_ECHO: {
        unsigned char rev[256];
        for (size_t i = 0; i < n; ++i)
            rev[i] = buf[n - 1 - i];
        th_reply(q, mp, M_IOCACK, static_cast<int>(n), 0, rev, n);
        return;
    }
    case TH_NAK: {
        int32_t err = 0;
        if (n >= sizeof err)
            memcpy(&err, buf, sizeof err);
        th_reply(q, mp, M_IOCNAK, -1, err, NULL, 0);
        return;
    }
    case TH_INFO: {
        struct th_info in;
        memset(&in, 0, sizeof in);
        in.pid = ddi_get_pid();
        in.uid = static_cast<int32_t>(ioc->ioc_cr->cr_uid);
        in.minor = static_cast<uint32_t>(m - th_minors);
        in.ioc_flag = ioc->ioc_flag & IOC_MODELS;
        in.region = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(m->region));
        th_reply(q, mp, M_IOCACK, 0, 0, &in, sizeof in);
        return;
    }
    case TH_STATS: {
        struct th_stats st;
        mutex_enter(&th_lock);
        st = th_counts;
        mutex_exit(&th_lock);
        th_reply(q, mp, M_IOCACK, 0, 0, &st, sizeof st);
        return;
    }
    case TH_PEEK: {
        int32_t off = 0;
        if (n >= sizeof off)
            memcpy(&off, buf, sizeof off);
        if (off < 0 || off > TH_REGION_SIZE - 16) {
            th_reply(q, mp, M_IOCNAK, -1, EINVAL, NULL, 0);
            return;
        }
        th_reply(q, mp, M_IOCACK, 0, 0, m->region + off, 16);
        return;
    }
    case TH_SLEEPIOC:
        if (th_wait_sig(m, 10000))
            th_reply(q, mp, M_IOCNAK, -1, EINTR, NULL, 0);
        else
            th_reply(q, mp, M_IOCACK, 0, 0, NULL, 0);
        return;
    default:
        th_reply(q, mp, M_IOCNAK, -1, EINVAL, NULL, 0);
        return;
    }
}

static int th_wput(queue_t *q, mblk_t *mp)
{
    struct th_minor *m = static_cast<struct th_minor *>(q->q_ptr);
    switch (mp->b_datap->db_type) {
    case M_IOCTL:
        th_ioctl(q, mp);
        return 0;
    case M_PCPROTO: {
        struct th_wait w;
        if (static_cast<size_t>(MBLKL(mp)) >= sizeof w) {
            memcpy(&w, mp->b_rptr, sizeof w);
            if (w.mode == TH_BUSY) {
                drv_usecwait(static_cast<clock_t>(w.ms) * 1000);
                mutex_enter(&th_lock);
                th_counts.put_done++;
                mutex_exit(&th_lock);
            } else if (w.mode == TH_SLEEP) {
                th_wait_sig(m, w.ms);
            }
        }
        freemsg(mp);
        return 0;
    }
    case M_FLUSH:
        if (*mp->b_rptr & FLUSHR) {
            *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
            qreply(q, mp);
            return 0;
        }
        freemsg(mp);
        return 0;
    default:
        freemsg(mp);
        return 0;
    }
}

static int th_rput(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

static int th_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *cr)
{
    (void)flag, (void)cr;
    if (q->q_ptr)
        return 0;
    if (sflag != CLONEOPEN)
        return ENXIO;
    mutex_enter(&th_lock);
    minor_t minor = 0;
    while (minor < TH_MINORS && th_minors[minor].used)
        ++minor;
    if (minor == TH_MINORS) {
        mutex_exit(&th_lock);
        return ENXIO;
    }
    th_minors[minor].used = 1;
    mutex_exit(&th_lock);
    struct th_minor *m = &th_minors[minor];
    m->region =
        static_cast<unsigned char *>(ddi_umem_alloc(TH_REGION_SIZE, DDI_UMEM_SLEEP, &m->cookie));
    for (unsigned i = 0; i < TH_REGION_SIZE; ++i)
        m->region[i] = TH_PATTERN(i, minor);
    cv_init(&m->cv, NULL, CV_DRIVER, NULL);
    *devp = makedevice(getmajor(*devp), minor);
    q->q_ptr = WR(q)->q_ptr = m;
    mutex_enter(&th_lock);
    th_counts.opens++;
    th_counts.open_now++;
    mutex_exit(&th_lock);
    qprocson(q);
    return 0;
}

static int th_close(queue_t *q, int flag, cred_t *cr)
{
    (void)flag, (void)cr;
    struct th_minor *m = static_cast<struct th_minor *>(q->q_ptr);
    qprocsoff(q);
    cv_destroy(&m->cv);
    ddi_umem_free(m->cookie);
    m->cookie = NULL;
    m->region = NULL;
    q->q_ptr = WR(q)->q_ptr = NULL;
    mutex_enter(&th_lock);
    m->used = 0;
    th_counts.closes++;
    th_counts.open_now--;
    mutex_exit(&th_lock);
    return 0;
}

// The region of the mapping stream only: offset 0, at most its page-rounded size.
static int th_devmap(dev_t dev, devmap_cookie_t dhp, offset_t off, size_t len, size_t *maplen,
                     uint_t model)
{
    (void)model;
    minor_t minor = getminor(dev);
    if (minor >= TH_MINORS || !th_minors[minor].used || !th_minors[minor].cookie)
        return ENXIO;
    size_t whole = ptob(btopr(TH_REGION_SIZE));
    len = ptob(btopr(len));
    if (off != 0 || len == 0 || len > whole)
        return ENXIO;
    *maplen = len;
    return devmap_umem_setup(dhp, th_dip, NULL, th_minors[minor].cookie, 0, len,
                             PROT_READ | PROT_WRITE | PROT_USER, 0, NULL);
}

// The module: passes everything on.
static int thm_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *cr)
{
    (void)devp, (void)flag, (void)sflag, (void)cr;
    qprocson(q);
    return 0;
}
static int thm_close(queue_t *q, int flag, cred_t *cr)
{
    (void)flag, (void)cr;
    qprocsoff(q);
    return 0;
}
static int thm_put(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

static int th_attach(dev_info_t *dip, ddi_attach_cmd_t cmd)
{
    if (cmd != DDI_ATTACH)
        return DDI_FAILURE;
    if (ddi_create_minor_node(dip, "thost", S_IFCHR, 0, DDI_PSEUDO, CLONE_DEV) != DDI_SUCCESS)
        return DDI_FAILURE;
    th_dip = dip;
    return DDI_SUCCESS;
}
static int th_detach(dev_info_t *dip, ddi_detach_cmd_t cmd)
{
    (void)cmd;
    ddi_remove_minor_node(dip, NULL);
    return DDI_SUCCESS;
}

static struct module_info th_minfo = {0x6800, "thost", 0, INFPSZ, 65536, 1};
static struct qinit th_rinit = {th_rput,   NULL, th_open, th_close, NULL,
                                &th_minfo, NULL, NULL,    NULL,     0};
static struct qinit th_winit = {th_wput, NULL, NULL, NULL, NULL, &th_minfo, NULL, NULL, NULL, 0};
static struct streamtab th_strtab = {&th_rinit, &th_winit, NULL, NULL};
static struct module_info thm_minfo = {0x6801, "thostm", 0, INFPSZ, 65536, 1};
static struct qinit thm_rinit = {thm_put,    NULL, thm_open, thm_close, NULL,
                                 &thm_minfo, NULL, NULL,     NULL,      0};
static struct qinit thm_winit = {thm_put, NULL, NULL, NULL, NULL, &thm_minfo, NULL, NULL, NULL, 0};
static struct streamtab thm_strtab = {&thm_rinit, &thm_winit, NULL, NULL};

static struct cb_ops th_cb_ops = {
    nulldev,           /* cb_open */
    nulldev,           /* cb_close */
    nodev,             /* cb_strategy */
    nodev,             /* cb_print */
    nodev,             /* cb_dump */
    nodev,             /* cb_read */
    nodev,             /* cb_write */
    nodev,             /* cb_ioctl */
    th_devmap,         /* cb_devmap */
    nodev,             /* cb_mmap */
    ddi_devmap_segmap, /* cb_segmap */
    nochpoll,          /* cb_chpoll */
    ddi_prop_op,       /* cb_prop_op */
    &th_strtab,        /* cb_str */
    D_MP | D_DEVMAP,   /* cb_flag */
    0,                 /* cb_rev */
    nodev,             /* cb_aread */
    nodev,             /* cb_awrite */
};
static struct dev_ops th_ops = {DEVO_REV,  0,     NULL,       nulldev, nulldev, th_attach,
                                th_detach, nodev, &th_cb_ops, NULL,    NULL,    NULL};
static struct fmodsw thm_fsw = {"thostm", &thm_strtab, D_MP};
static struct modldrv th_modldrv = {&mod_driverops, "host test driver", &th_ops};
static struct modlstrmod thm_modlstrmod = {&mod_strmodops, "host test module", &thm_fsw};
static struct modlinkage th_linkage = {MODREV_1, {&th_modldrv, &thm_modlstrmod, NULL}};

extern "C" int _init(void)
{
    mutex_init(&th_lock, NULL, MUTEX_DRIVER, NULL);
    int err = mod_install(&th_linkage);
    if (err)
        mutex_destroy(&th_lock);
    return err;
}
extern "C" int _info(struct modinfo *mip)
{
    return mod_info(&th_linkage, mip);
}
extern "C" int _fini(void)
{
    int err = mod_remove(&th_linkage);
    if (err == 0)
        mutex_destroy(&th_lock);
    return err;
}
