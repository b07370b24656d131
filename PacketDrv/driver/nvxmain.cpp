/*
 * The nvx kernel object: one object in two roles, a STREAMS module "nvx" that autopush places
 * above network interface drivers, and the clone pseudo-device /dev/nvx on which the library
 * sends its control and read requests.
 *
 * - Every open stream of either role has a BindingInfo (q_ptr of both queues) from open to
 *   close. Device bindings are on the binding list for their whole life; module bindings only
 *   while bound to an adapter (nvxdlpi.cpp), and on the open module list from open to close
 *   (the capture engine passes a held frame on only while its stream is open).
 * - Contexts: _init, _fini and the DDI entry points in the loading thread; open and close in
 *   the thread that opens or closes (process context); devmap in the mapping thread.
 * - Closing a device stream stops the capture it opened: every held frame is passed on.
 *   Closing a module instance on a captured adapter flushes the adapter's session (its frames
 *   go on while the stream still works) and the capture goes on with the remaining streams.
 *   That includes an instance that unbound first (a normal unplumb): it still knows its
 *   adapter's slot, and frames it took while bound may still be held.
 * - Locks: nvx_rwlock before nvx_bindlock; the adapter record's sessionInfoMutex is taken
 *   inside nvx_rwlock (reader) to pin the session with refCount, which is what keeps the
 *   adapter record and the session alive across a module close against a concurrent stop.
 */
#include "nvxmain.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */

#include "nvxbind.h"
#include "nvxflood.h"
#include "nvxioctl.h"
#include "nvxppa.h"
#include "nvxput.h"
#include "nvxrelease.h"
#include "packetfilter.h"

#include <sys/cmn_err.h>
#include <sys/conf.h>
#include <sys/kmem.h>
#include <sys/kproc.h>
#include <sys/modctl.h>
#include <sys/stream.h>
#include <sys/sunddi.h>
#include <sys/umem.h>

#include <errno.h>
#include <stdint.h>
#include <string.h>

#define NVX_VERSION "1.8"

static inline unsigned long ulp(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

/* Module information shared by the driver and the module. */
static struct module_info minfo = {
    0xabcd, /* mi_idnum */
    "nvx",  /* mi_idname */
    0,      /* mi_minpsz */
    INFPSZ, /* mi_maxpsz */
    131072, /* mi_hiwat */
    1,      /* mi_lowat */
};

static struct qinit nvx_rinit = {
    nvx_rput,  /* qi_putp */
    nullptr,   /* qi_srvp: no service procedures */
    nvx_open,  /* qi_qopen */
    nvx_close, /* qi_qclose */
    nullptr,   /* qi_qadmin */
    &minfo,    /* qi_minfo */
    nullptr,   /* qi_mstat */
    nullptr,   /* qi_rwp */
    nullptr,   /* qi_infop */
    0,         /* qi_struiot */
};

static struct qinit nvx_winit = {
    nvx_wput, /* qi_putp */
    nullptr,  /* qi_srvp */
    nullptr,  /* qi_qopen */
    nullptr,  /* qi_qclose */
    nullptr,  /* qi_qadmin */
    &minfo,   /* qi_minfo */
    nullptr,  /* qi_mstat */
    nullptr,  /* qi_rwp */
    nullptr,  /* qi_infop */
    0,        /* qi_struiot */
};

static struct streamtab nvx_strtab = {
    &nvx_rinit, /* st_rdinit */
    &nvx_winit, /* st_wrinit */
    nullptr,    /* st_muxrinit: not a multiplexor */
    nullptr,    /* st_muxwinit */
};

static struct cb_ops nvx_cb_ops = {
    nulldev,           /* cb_open: STREAMS opens go through nvx_rinit */
    nulldev,           /* cb_close */
    nodev,             /* cb_strategy */
    nodev,             /* cb_print */
    nodev,             /* cb_dump */
    nodev,             /* cb_read */
    nodev,             /* cb_write */
    nodev,             /* cb_ioctl */
    nvx_devmap,        /* cb_devmap */
    nodev,             /* cb_mmap */
    ddi_devmap_segmap, /* cb_segmap */
    nochpoll,          /* cb_chpoll */
    ddi_prop_op,       /* cb_prop_op */
    &nvx_strtab,       /* cb_str */
    D_MP | D_DEVMAP,   /* cb_flag */
    0,                 /* cb_rev */
    nodev,             /* cb_aread */
    nodev,             /* cb_awrite */
};

static struct dev_ops nvx_ops = {
    DEVO_REV,    /* devo_rev */
    0,           /* devo_refcnt */
    nvx_getinfo, /* devo_getinfo */
    nulldev,     /* devo_identify */
    nulldev,     /* devo_probe */
    nvx_attach,  /* devo_attach */
    nvx_detach,  /* devo_detach */
    nodev,       /* devo_reset */
    &nvx_cb_ops, /* devo_cb_ops */
    nullptr,     /* devo_bus_ops */
    nullptr,     /* devo_power */
    nullptr,     /* devo_quiesce */
};

static struct fmodsw nvxfsw = {
    "nvx",       /* f_name */
    &nvx_strtab, /* f_str */
    D_MP,        /* f_flag */
};

static struct modldrv modldrv = {
    &mod_driverops,                /* drv_modops */
    "QM PacketCapture Driver 1.8", /* drv_linkinfo */
    &nvx_ops,                      /* drv_dev_ops */
};

static struct modlstrmod modlstrmod = {
    &mod_strmodops,                /* strmod_modops */
    "QM PacketCapture Module 1.8", /* strmod_linkinfo */
    &nvxfsw,                       /* strmod_fmodsw */
};

static struct modlinkage modlinkage = {
    MODREV_1,                         /* ml_rev */
    {&modlstrmod, &modldrv, nullptr}, /* ml_linkage */
};

/* The build date as month/day/two-digit year, from the compiler's "Mmm dd yyyy". */
static void build_date(char out[9])
{
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const char *d = __DATE__;
    int month = 0;
    for (int i = 0; i < 12; i++)
        if (memcmp(months + 3 * i, d, 3) == 0)
            month = i + 1;
    out[0] = static_cast<char>('0' + month / 10);
    out[1] = static_cast<char>('0' + month % 10);
    out[2] = '/';
    out[3] = d[4] == ' ' ? '0' : d[4];
    out[4] = d[5];
    out[5] = '/';
    out[6] = d[9];
    out[7] = d[10];
    out[8] = '\0';
}

static void nvx_locks_init(void)
{
    rw_init(&nvx_rwlock, nullptr, RW_DRIVER, nullptr);
    rw_init(&nvx_bindlock, nullptr, RW_DRIVER, nullptr);
    rw_init(&nvx_pflock, nullptr, RW_DRIVER, nullptr);
}

static void nvx_locks_destroy(void)
{
    rw_destroy(&nvx_rwlock);
    rw_destroy(&nvx_bindlock);
    rw_destroy(&nvx_pflock);
}

int _init(void)
{
    char date[9];
    build_date(date);
    printf("Quillmarch Packet Capture Driver Version %s\n", NVX_VERSION);
    printf("Built at %s on %s\n", __TIME__, date);

    InitFlood();
    nvx_locks_init();
    nvx_init_ppa_table();
    /* Driver-wide settings start afresh with every load. */
    __atomic_store_n(&GlobalTimeout, 10u, __ATOMIC_RELAXED);
    __atomic_store_n(&GlobalThreshold, 50u, __ATOMIC_RELAXED);

    int rc = mod_install(&modlinkage);
    if (rc != 0) {
        nvx_locks_destroy();
        FiniFlood();
        return rc;
    }
    rc = InitializeFilters();
    if (rc != 0) {
        /* Not usable without its filter set: take the linkage back out (no stream can be open
         * yet) and release what was made here. */
        (void)mod_remove(&modlinkage);
        nvx_locks_destroy();
        FiniFlood();
        nvx_init_ppa_table();
    }
    return rc;
}

int _info(struct modinfo *modinfop)
{
    return mod_info(&modlinkage, modinfop);
}

int _fini(void)
{
    const int rc = mod_remove(&modlinkage);
    if (rc != 0)
        return rc;
    DestroyFilters();
    nvx_locks_destroy();
    FiniFlood();
    nvx_init_ppa_table();
    return 0;
}

int nvx_attach(dev_info_t *dip, ddi_attach_cmd_t cmd)
{
    _dlprintf(16, "nvx_attach(%lx,%d)\n", ulp(dip), static_cast<int>(cmd));
    if (cmd != DDI_ATTACH) {
        printf("nvx_attach: unknown cmd %d\n", static_cast<int>(cmd));
        return DDI_FAILURE;
    }
    if (ddi_create_minor_node(dip, "nvx", S_IFCHR, static_cast<minor_t>(ddi_get_instance(dip)),
                              DDI_PSEUDO, CLONE_DEV) != DDI_SUCCESS) {
        ddi_remove_minor_node(dip, nullptr);
        printf("nvx_attach:error creating device node\n");
        return DDI_FAILURE;
    }
    nvx_dip = dip;
    ddi_report_dev(dip);
    return DDI_SUCCESS;
}

int nvx_detach(dev_info_t *dip, ddi_detach_cmd_t cmd)
{
    _dlprintf(16, "nvx_detach(%lx,%d)\n", ulp(dip), static_cast<int>(cmd));
    if (cmd != DDI_DETACH) {
        printf("nvx_detach: unknown cmd %d\n", static_cast<int>(cmd));
        return DDI_FAILURE;
    }
    ddi_prop_remove_all(dip);
    ddi_remove_minor_node(dip, nullptr);
    return DDI_SUCCESS;
}

int nvx_getinfo(dev_info_t *dip, ddi_info_cmd_t cmd, void *arg, void **result)
{
    (void)dip;
    (void)arg;
    switch (cmd) {
    case DDI_INFO_DEVT2DEVINFO:
        if (nvx_dip == nullptr) {
            *result = nullptr;
            _dlprintf(16, "nvx_getinfo: no info available\n");
            return DDI_FAILURE;
        }
        *result = nvx_dip;
        return DDI_SUCCESS;
    case DDI_INFO_DEVT2INSTANCE:
        *result = nullptr; /* instance 0 */
        return DDI_SUCCESS;
    }
    printf("nvx_getinfo: unknown cmd %d\n", static_cast<int>(cmd));
    return DDI_FAILURE;
}

/* The lowest minor that no device binding on the list holds (nvx_bindlock held). */
static minor_t lowest_free_minor_locked(void)
{
    minor_t candidate = 0;
    for (;;) {
        int taken = 0;
        for (BindingInfo *b = BindingList; b != nullptr; b = b->next)
            if (b->dip != nullptr && getminor(b->dev) == candidate) {
                taken = 1;
                break;
            }
        if (!taken)
            return candidate;
        candidate++;
    }
}

int nvx_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *credp)
{
    (void)flag;
    (void)credp;
    _dlprintf(1, "nvx_open: q %lx pid %d\n", ulp(q), static_cast<int>(ddi_get_pid()));
    if (q->q_ptr != nullptr)
        return 0; /* re-open of an open stream */

    BindingInfo *bip = static_cast<BindingInfo *>(kmem_zalloc(sizeof(BindingInfo), KM_NOSLEEP));
    if (bip == nullptr) {
        printf("nvx_open: Failed to alloc memory for binding struct: q %lx\n", ulp(q));
        return ENOMEM;
    }
    strcpy(bip->ppaname, NVX_UNKNOWN_PPA);
    bip->index = MAX_PPA;
    bip->rdq = q;
    bip->wrq = WR(q);

    if ((sflag & MODOPEN) == 0) {
        _dlprintf(1, "nvx_open: (nvx device) - bip=0x%lx\n", ulp(bip));
        bip->dip = nvx_dip;
        /* Choosing the minor and taking it are one step: two clone opens never share one. */
        rw_enter(&nvx_bindlock, RW_WRITER);
        if ((sflag & CLONEOPEN) != 0)
            *devp = makedevice(getmajor(*devp), lowest_free_minor_locked());
        bip->dev = *devp;
        add_binding_locked(bip);
        rw_exit(&nvx_bindlock);
    } else {
        /* A module instance joins the binding list only when its stream binds; it is open
         * (its held frames may go on) until its close. */
        rw_enter(&nvx_bindlock, RW_WRITER);
        add_open_module_locked(bip);
        rw_exit(&nvx_bindlock);
    }

    q->q_ptr = bip;
    WR(q)->q_ptr = bip;
    qprocson(q);
    return 0;
}

/* Closing a module instance: flush its adapter's session, then leave the adapter. */
static void close_module(queue_t *q, BindingInfo *bip)
{
    /* Pin the session (refCount) while the adapter record can still be found. */
    GlobalInfo *gip = nullptr;
    SessionInfo *sip = nullptr;
    rw_enter(&nvx_rwlock, RW_READER);
    gip = bip->openInfo;
    if (gip == nullptr && bip->index < MAX_PPA)
        gip = ppaList[bip->index].gip; /* unbound, but may still have frames held */
    if (gip != nullptr) {
        mutex_enter(&gip->sessionInfoMutex);
        sip = gip->captureSession;
        if (sip != nullptr)
            sip->refCount++;
        mutex_exit(&gip->sessionInfoMutex);
    }
    rw_exit(&nvx_rwlock);

    if (sip != nullptr) {
        /* Frames pass uncaptured meanwhile; the held ones go on while this stream works. */
        /* Counted: another stream of the adapter may be closing at the same time, and the
         * capture stays off until the last of them is done. */
        rw_enter(&nvx_rwlock, RW_WRITER);
        gip->flushCount++;
        gip->ulFlags |= GI_FLUSHING;
        rw_exit(&nvx_rwlock);
        flush_and_renumber(gip, sip);
    }

    /* From here no put procedure of this instance runs: nothing more can be captured on it,
     * and no DL_BIND_ACK can bind it again. */
    qprocsoff(q);

    rw_enter(&nvx_rwlock, RW_WRITER);
    if (sip != nullptr && --gip->flushCount == 0)
        gip->ulFlags &= ~static_cast<U32>(GI_FLUSHING);
    /* Closed: frames still held from this stream are freed from now on, never passed on. */
    rw_enter(&nvx_bindlock, RW_WRITER);
    remove_open_module_locked(bip);
    rw_exit(&nvx_bindlock);
    if ((bip->ulFlags & BIND_BOUND) != 0) {
        _dlprintf(16, "nvx_close: (nvx stream) - gip=0x%lx, bip flags=0x%x\n", ulp(bip->openInfo),
                  bip->ulFlags);
        rw_enter(&nvx_bindlock, RW_WRITER);
        if (!remove_binding_locked(bip))
            printf("Warning: Binding %lx dip %lx not on list!\n", ulp(bip), ulp(bip->dip));
        rw_exit(&nvx_bindlock);
        bip->ulFlags &= ~static_cast<U32>(BIND_BOUND);
        bip->openInfo = nullptr;
        if (bip->index < MAX_PPA)
            ppaList[bip->index].bndcnt--;
    }
    rw_exit(&nvx_rwlock);

    /* The last use of the adapter record: a stop waits for this. */
    if (sip != nullptr) {
        mutex_enter(&gip->sessionInfoMutex);
        sip->refCount--;
        mutex_exit(&gip->sessionInfoMutex);
    }
}

int nvx_close(queue_t *q, int flag, cred_t *credp)
{
    (void)credp;
    BindingInfo *bip = static_cast<BindingInfo *>(q->q_ptr);
    _dlprintf(1, "nvx_close: queue: 0x%lx, flag: %d, pid: %d, bip: 0x%lx \n", ulp(q), flag,
              static_cast<int>(ddi_get_pid()), ulp(bip));
    if (bip == nullptr)
        return 0;

    if (bip->dip != nullptr) {
        qprocsoff(q);
        /* Only this stream's own requests, now over, change its openInfo. */
        rw_enter(&nvx_rwlock, RW_READER);
        GlobalInfo *gip = bip->openInfo;
        rw_exit(&nvx_rwlock);
        _dlprintf(1, "nvx_close: (nvx device) - gip=0x%lx\n", ulp(gip));
        if (gip != nullptr)
            stop_capture(gip);
        remove_binding(bip);
    } else {
        close_module(q, bip);
    }

    q->q_ptr = nullptr;
    WR(q)->q_ptr = nullptr;
    kmem_free(bip, sizeof(*bip));
    return 0;
}

int nvx_devmap(dev_t dev, devmap_cookie_t dhp, offset_t off, size_t len, size_t *maplen,
               uint_t model)
{
    (void)model;
    /* Held throughout: the adapter record and session cannot be freed under us. */
    rw_enter(&nvx_rwlock, RW_READER);
    BindingInfo *bip = nullptr;
    rw_enter(&nvx_bindlock, RW_READER);
    for (BindingInfo *b = BindingList; b != nullptr; b = b->next)
        if (b->dip != nullptr && b->dev == dev) {
            bip = b;
            break;
        }
    rw_exit(&nvx_bindlock);

    int rc = ENXIO;
    GlobalInfo *gip = bip != nullptr ? bip->openInfo : nullptr;
    SessionInfo *sip = gip != nullptr ? gip->captureSession : nullptr;
    if (bip == nullptr) {
        printf("nvx_devmap: no binding for dev %lx\n", static_cast<unsigned long>(dev));
    } else if (gip == nullptr) {
        printf("nvx_devmap: no capture for binding %lx ppaname %s\n", ulp(bip), bip->ppaname);
    } else if (sip == nullptr) {
        printf("nvx_devmap: no session for binding %lx capture %lx ppa %s\n", ulp(bip), ulp(gip),
               gip->ppaname);
    } else if (sip->pRcvBuffer == nullptr) {
        printf("nvx_devmap: no receive buffer for binding %lx capture %lx session %lx ppaname "
               "%s\n",
               ulp(bip), ulp(gip), ulp(sip), gip->ppaname);
    } else {
        /* Compared without adding: no offset or length can reach outside the region. */
        const size_t size = sip->RcvBufferSize;
        const int wraps = len > SIZE_MAX - PAGEOFFSET;
        const size_t rounded = wraps ? len : ptob(btopr(len));
        if (off < 0 || wraps || static_cast<U64>(off) > size ||
            rounded > size - static_cast<size_t>(off)) {
            printf("nvx_devmap: out of range off %lx len %x size %x binding %lx capture %lx "
                   "session %lx rdvbuffer %lx ppaname %s \n",
                   static_cast<unsigned long>(off), static_cast<unsigned>(rounded),
                   static_cast<unsigned>(size), ulp(bip), ulp(gip), ulp(sip), ulp(sip->pRcvBuffer),
                   gip->ppaname);
        } else {
            rc = devmap_umem_setup(dhp, nvx_dip, nullptr, sip->ucookie, off, rounded,
                                   PROT_READ | PROT_WRITE | PROT_EXEC | PROT_USER, DEVMAP_DEFAULTS,
                                   nullptr);
            *maplen = rounded;
            if (rc != 0)
                printf("nvx_devmap: devmap_umem_setup failed, off %x len %x size %x binding %lx "
                       "capture %lx session %lx rdvbuffer %lx ppaname %s \n",
                       static_cast<unsigned>(off), static_cast<unsigned>(rounded),
                       static_cast<unsigned>(size), ulp(bip), ulp(gip), ulp(sip),
                       ulp(sip->pRcvBuffer), gip->ppaname);
        }
    }
    rw_exit(&nvx_rwlock);
    return rc;
}
