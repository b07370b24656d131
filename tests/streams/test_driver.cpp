// The test driver and modules of the streams tests (see test_driver.h).
#include "test_driver.h"

#include "modules.h"

#include <sys/cmn_err.h>
#include <sys/ddi.h>
#include <sys/ksynch.h>
#include <sys/modctl.h>
#include <sys/stropts.h>
#include <sys/sunddi.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace tdrv
{

namespace
{

std::mutex log_m;
std::vector<std::string> log_lines;
void log(const std::string &s)
{
    std::lock_guard<std::mutex> g(log_m);
    log_lines.push_back(s);
}

constexpr unsigned kMinors = 64;
struct Instance {
    bool used = false;
    queue_t *rq = nullptr;
    mblk_t *held = nullptr;
    ddi_umem_cookie_t cookie = nullptr;
    void *kaddr = nullptr;
};
std::mutex inst_m;
Instance instances[kMinors];
LastProto last;
dev_info_t *tdrv_dip;

Instance *inst_of(queue_t *q)
{
    return static_cast<Instance *>(RD(q)->q_ptr);
}

void ack(queue_t *q, mblk_t *mp, int rval, const void *data, size_t len, int err = 0)
{
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    if (mp->b_cont) {
        freemsg(mp->b_cont);
        mp->b_cont = nullptr;
    }
    if (len) {
        mblk_t *d = allocb(len, BPRI_MED);
        memcpy(d->b_wptr, data, len);
        d->b_wptr += len;
        mp->b_cont = d;
    }
    mp->b_datap->db_type = M_IOCACK;
    ioc->ioc_count = len;
    ioc->ioc_rval = rval;
    ioc->ioc_error = err;
    qreply(q, mp);
}

void nak(queue_t *q, mblk_t *mp, int err)
{
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    mp->b_datap->db_type = M_IOCNAK;
    ioc->ioc_error = err;
    ioc->ioc_count = 0;
    qreply(q, mp);
}

void tdrv_ioctl(queue_t *q, mblk_t *mp)
{
    auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
    std::string data;
    for (mblk_t *b = mp->b_cont; b; b = b->b_cont)
        data.append(reinterpret_cast<char *>(b->b_rptr), static_cast<size_t>(MBLKL(b)));
    switch (ioc->ioc_cmd) {
    case TD_ECHO:
        ack(q, mp, 42, data.data(), data.size());
        return;
    case TD_INFO: {
        Info info{ioc->ioc_flag, ddi_get_pid(), static_cast<int>(ioc->ioc_cr->cr_uid),
                  static_cast<int>(ioc->ioc_count)};
        ack(q, mp, 0, &info, sizeof info);
        return;
    }
    case TD_NAK: {
        int err = 0;
        memcpy(&err, data.data(), std::min(sizeof err, data.size()));
        nak(q, mp, err);
        return;
    }
    case TD_HOLD: {
        std::lock_guard<std::mutex> g(inst_m);
        Instance *in = inst_of(q);
        if (in->held)
            freemsg(in->held);
        in->held = mp;
        return;
    }
    case TD_ACK_ERR:
        ack(q, mp, 0, nullptr, 0, EIO);
        return;
    case TD_SLEEP: {
        kmutex_t m;
        kcondvar_t cv;
        mutex_init(&m, nullptr, MUTEX_DRIVER, nullptr);
        cv_init(&cv, nullptr, CV_DRIVER, nullptr);
        mutex_enter(&m);
        clock_t rc = cv_timedwait_sig(&cv, &m, ddi_get_lbolt() + 10 * hz);
        mutex_exit(&m);
        cv_destroy(&cv);
        mutex_destroy(&m);
        if (rc == 0)
            nak(q, mp, EINTR);
        else
            ack(q, mp, 1, nullptr, 0);
        return;
    }
    default:
        nak(q, mp, 0);
        return;
    }
}

int tdrv_wput(queue_t *q, mblk_t *mp)
{
    switch (mp->b_datap->db_type) {
    case M_IOCTL:
        tdrv_ioctl(q, mp);
        return 0;
    case M_PROTO:
    case M_PCPROTO: {
        std::string bytes(reinterpret_cast<char *>(mp->b_rptr), static_cast<size_t>(MBLKL(mp)));
        {
            std::lock_guard<std::mutex> g(inst_m);
            last.type = mp->b_datap->db_type;
            last.bytes = bytes;
            last.thread = std::this_thread::get_id();
            last.pid = ddi_get_pid();
        }
        if (bytes == "echo") {
            qreply(q, mp);
            return 0;
        }
        break;
    }
    case M_DATA:
        qreply(q, mp); // echo data back up
        return 0;
    case M_FLUSH:
        if (*mp->b_rptr & FLUSHW)
            flushq(q, FLUSHDATA);
        if (*mp->b_rptr & FLUSHR) {
            flushq(RD(q), FLUSHDATA);
            *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
            qreply(q, mp);
            return 0;
        }
        break;
    default:
        break;
    }
    freemsg(mp);
    return 0;
}

int tdrv_rput(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

int tdrv_open(queue_t *q, dev_t *devp, int flag, int sflag, cred_t *cr)
{
    (void)flag, (void)cr;
    if (q->q_ptr) {
        log("reopen tdrv " + std::to_string(getminor(*devp)));
        return 0;
    }
    std::lock_guard<std::mutex> g(inst_m);
    minor_t minor = getminor(*devp);
    if (sflag == CLONEOPEN) {
        minor = 0;
        while (minor < kMinors && instances[minor].used)
            ++minor;
        if (minor == kMinors)
            return ENXIO;
        *devp = makedevice(getmajor(*devp), minor);
    } else if (sflag != 0 || minor >= kMinors) {
        return ENXIO;
    }
    instances[minor] = Instance{};
    instances[minor].used = true;
    instances[minor].rq = q;
    q->q_ptr = WR(q)->q_ptr = &instances[minor];
    log("open tdrv " + std::to_string(minor) + " sflag " + std::to_string(sflag));
    qprocson(q);
    return 0;
}

int tdrv_close(queue_t *q, int flag, cred_t *cr)
{
    (void)flag, (void)cr;
    qprocsoff(q);
    std::lock_guard<std::mutex> g(inst_m);
    Instance *in = inst_of(q);
    log("close tdrv " + std::to_string(in - instances));
    if (in->held)
        freemsg(in->held);
    if (in->cookie)
        ddi_umem_free(in->cookie);
    *in = Instance{};
    q->q_ptr = WR(q)->q_ptr = nullptr;
    return 0;
}

int tdrv_devmap(dev_t dev, devmap_cookie_t dhp, offset_t off, size_t len, size_t *maplen,
                uint_t model)
{
    (void)model;
    std::lock_guard<std::mutex> g(inst_m);
    minor_t minor = getminor(dev);
    if (minor >= kMinors || !instances[minor].used)
        return ENXIO;
    Instance &in = instances[minor];
    if (!in.cookie) {
        in.kaddr = ddi_umem_alloc(kRegionSize, DDI_UMEM_SLEEP, &in.cookie);
        memset(in.kaddr, 'A' + static_cast<int>(minor), kRegionSize);
        memcpy(in.kaddr, "region", 6);
    }
    len = ptob(btopr(len));
    *maplen = len;
    if (off < 0 || static_cast<size_t>(off) + len > kRegionSize)
        return ENXIO;
    return devmap_umem_setup(dhp, tdrv_dip, nullptr, in.cookie, off, len, PROT_ALL, 0, nullptr);
}

struct module_info tdrv_minfo = {0x7d, "tdrv", 0, INFPSZ, 65536, 1};
struct qinit tdrv_rinit = {tdrv_rput,   nullptr, tdrv_open, tdrv_close, nullptr,
                           &tdrv_minfo, nullptr, nullptr,   nullptr,    0};
struct qinit tdrv_winit = {tdrv_wput,   nullptr, nullptr, nullptr, nullptr,
                           &tdrv_minfo, nullptr, nullptr, nullptr, 0};
struct streamtab tdrv_strtab = {&tdrv_rinit, &tdrv_winit, nullptr, nullptr};

int tdrv_attach(dev_info_t *dip, ddi_attach_cmd_t cmd)
{
    if (cmd != DDI_ATTACH)
        return DDI_FAILURE;
    if (ddi_create_minor_node(dip, "tdrv", S_IFCHR, 0, DDI_PSEUDO, CLONE_DEV) != DDI_SUCCESS ||
        ddi_create_minor_node(dip, "tdrv_n5", S_IFCHR, 5, DDI_PSEUDO, 0) != DDI_SUCCESS) {
        ddi_remove_minor_node(dip, nullptr);
        return DDI_FAILURE;
    }
    tdrv_dip = dip;
    ddi_report_dev(dip);
    return DDI_SUCCESS;
}

int tdrv_detach(dev_info_t *dip, ddi_detach_cmd_t cmd)
{
    if (cmd != DDI_DETACH)
        return DDI_FAILURE;
    ddi_prop_remove_all(dip);
    ddi_remove_minor_node(dip, nullptr);
    return DDI_SUCCESS;
}

struct cb_ops tdrv_cb_ops = {
    nulldev,           /* cb_open */
    nulldev,           /* cb_close */
    nodev,             /* cb_strategy */
    nodev,             /* cb_print */
    nodev,             /* cb_dump */
    nodev,             /* cb_read */
    nodev,             /* cb_write */
    nodev,             /* cb_ioctl */
    tdrv_devmap,       /* cb_devmap */
    nodev,             /* cb_mmap */
    ddi_devmap_segmap, /* cb_segmap */
    nochpoll,          /* cb_chpoll */
    ddi_prop_op,       /* cb_prop_op */
    &tdrv_strtab,      /* cb_str */
    D_MP | D_DEVMAP,   /* cb_flag */
    0,                 /* cb_rev */
    nodev,             /* cb_aread */
    nodev,             /* cb_awrite */
};
struct dev_ops tdrv_ops = {DEVO_REV,     0,           nullptr,     nulldev,
                           nulldev,      tdrv_attach, tdrv_detach, nodev,
                           &tdrv_cb_ops, nullptr,     nullptr,     ddi_quiesce_not_needed};
struct modldrv tdrv_modldrv = {&mod_driverops, "test driver", &tdrv_ops};
struct modlinkage tdrv_linkage = {MODREV_1, {&tdrv_modldrv, nullptr}};

// A character driver that is not a STREAMS driver (cb_str NULL).
int tplain_attach(dev_info_t *dip, ddi_attach_cmd_t)
{
    return ddi_create_minor_node(dip, "tplain", S_IFCHR, 0, DDI_PSEUDO, 0);
}
struct cb_ops tplain_cb_ops = {nulldev,     nulldev, nodev, nodev, nodev, nodev,
                               nodev,       nodev,   nodev, nodev, nodev, nochpoll,
                               ddi_prop_op, nullptr, D_MP,  0,     nodev, nodev};
struct dev_ops tplain_ops = {DEVO_REV, 0,     nullptr,        nulldev, nulldev, tplain_attach,
                             nulldev,  nodev, &tplain_cb_ops, nullptr, nullptr, nullptr};
struct modldrv tplain_modldrv = {&mod_driverops, "plain driver", &tplain_ops};
struct modlinkage tplain_linkage = {MODREV_1, {&tplain_modldrv, nullptr}};

// ---- modules ----

template <int Which> int tmod_open(queue_t *q, dev_t *, int, int sflag, cred_t *)
{
    if (q->q_ptr)
        return 0;
    q->q_ptr = WR(q)->q_ptr = q;
    log(std::string("open ") + q->q_qinfo->qi_minfo->mi_idname + " sflag " + std::to_string(sflag));
    qprocson(q);
    return 0;
}

int tmod_close(queue_t *q, int, cred_t *)
{
    log(std::string("close ") + q->q_qinfo->qi_minfo->mi_idname);
    qprocsoff(q);
    q->q_ptr = WR(q)->q_ptr = nullptr;
    return 0;
}

int tmoda_put(queue_t *q, mblk_t *mp)
{
    moda_puts.fetch_add(1, std::memory_order_relaxed);
    putnext(q, mp);
    return 0;
}

int tmod_put(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

int tsrv_wput(queue_t *q, mblk_t *mp)
{
    if (queclass(mp) == QPCTL)
        putnext(q, mp);
    else
        putq(q, mp);
    return 0;
}

int tsrv_wsrv(queue_t *q)
{
    while (mblk_t *mp = getq(q)) {
        if (!canputnext(q)) {
            putbq(q, mp);
            return 0;
        }
        putnext(q, mp);
    }
    return 0;
}

struct module_info moda_info = {1, "tmodA", 0, INFPSZ, 4096, 1};
struct module_info modb_info = {2, "tmodB", 0, INFPSZ, 4096, 1};
struct module_info srv_info = {3, "tsrv", 0, INFPSZ, 100, 50};
struct qinit moda_r = {tmoda_put,  nullptr, tmod_open<1>, tmod_close, nullptr,
                       &moda_info, nullptr, nullptr,      nullptr,    0};
struct qinit moda_w = {tmoda_put,  nullptr, nullptr, nullptr, nullptr,
                       &moda_info, nullptr, nullptr, nullptr, 0};
struct qinit modb_r = {tmod_put,   nullptr, tmod_open<2>, tmod_close, nullptr,
                       &modb_info, nullptr, nullptr,      nullptr,    0};
struct qinit modb_w = {tmod_put,   nullptr, nullptr, nullptr, nullptr,
                       &modb_info, nullptr, nullptr, nullptr, 0};
struct qinit srv_r = {tmod_put,  nullptr, tmod_open<3>, tmod_close, nullptr,
                      &srv_info, nullptr, nullptr,      nullptr,    0};
struct qinit srv_w = {tsrv_wput, tsrv_wsrv, nullptr, nullptr, nullptr,
                      &srv_info, nullptr,   nullptr, nullptr, 0};
struct streamtab moda_tab = {&moda_r, &moda_w, nullptr, nullptr};
struct streamtab modb_tab = {&modb_r, &modb_w, nullptr, nullptr};
struct streamtab srv_tab = {&srv_r, &srv_w, nullptr, nullptr};
struct fmodsw moda_sw = {"tmodA", &moda_tab, D_MP};
struct fmodsw modb_sw = {"tmodB", &modb_tab, D_MP};
struct fmodsw srv_sw = {"tsrv", &srv_tab, D_MP};
struct modlstrmod moda_l = {&mod_strmodops, "module A", &moda_sw};
struct modlstrmod modb_l = {&mod_strmodops, "module B", &modb_sw};
struct modlstrmod srv_l = {&mod_strmodops, "service module", &srv_sw};
struct modlinkage mods_linkage = {MODREV_1, {&moda_l, &modb_l, &srv_l, nullptr}};

} // namespace

std::atomic<long> moda_puts{0};

std::vector<std::string> take_log()
{
    std::lock_guard<std::mutex> g(log_m);
    std::vector<std::string> out;
    out.swap(log_lines);
    return out;
}

int install()
{
    int rc = platform::modules::load_builtin(
        "tdrv", [] { return mod_install(&tdrv_linkage); }, [] { return mod_remove(&tdrv_linkage); },
        [](struct modinfo *mip) { return mod_info(&tdrv_linkage, mip); });
    if (rc || platform::modules::loaded("tplain"))
        return rc;
    return platform::modules::load_builtin(
        "tplain", [] { return mod_install(&tplain_linkage); },
        [] { return mod_remove(&tplain_linkage); },
        [](struct modinfo *mip) { return mod_info(&tplain_linkage, mip); });
}

void uninstall()
{
    platform::modules::unload("tdrv");
    platform::modules::unload("tplain");
}

int install_modules()
{
    return platform::modules::load_builtin(
        "tmods", [] { return mod_install(&mods_linkage); },
        [] { return mod_remove(&mods_linkage); },
        [](struct modinfo *mip) { return mod_info(&mods_linkage, mip); });
}

void uninstall_modules()
{
    platform::modules::unload("tmods");
}

LastProto last_proto()
{
    std::lock_guard<std::mutex> g(inst_m);
    return last;
}

bool ack_held(unsigned minor)
{
    mblk_t *mp;
    queue_t *q;
    {
        std::lock_guard<std::mutex> g(inst_m);
        mp = instances[minor].held;
        q = instances[minor].rq;
        instances[minor].held = nullptr;
    }
    if (!mp)
        return false;
    ack(WR(q), mp, 7, "late", 4);
    return true;
}

void *region(unsigned minor)
{
    std::lock_guard<std::mutex> g(inst_m);
    return instances[minor].kaddr;
}

} // namespace tdrv
