/*
 * Emulated Ethernet NIC driver: STREAMS entry points, module linkage, and the registry of
 * loaded NIC drivers.
 *
 * Contract:
 * - Write side: M_PROTO / M_PCPROTO go to the DLPI dispatcher (nic_dlpi.cpp), M_DATA to the
 *   send path (nic_tx.cpp), M_IOCTL to nic_ioctl, M_FLUSH is handled as by any driver at the
 *   bottom of a stream (no queues of its own: the read side is turned around); everything
 *   else is freed.
 * - Read side: the driver never queues; the receive path (nic_rx.cpp) puts frames straight
 *   to the next queue. The read put procedure only exists for the table and frees.
 * - Concurrency: no perimeter; put procedures run in any thread. Per-stream state is under
 *   the stream's lock; the receive path uses the instance's bind lock (see nic_impl.h).
 * - Opens are clone opens: style 1 nodes "/dev/<name><ppa>" (minor = ppa) make streams already
 *   attached to that PPA; the style 2 node "/dev/<name>" makes unattached ones. Each stream
 *   gets its own minor from kNicFirstStreamMinor on; ENXIO when all are in use.
 */
#include "nic/nic_impl.h"

#include "streams/modules.h"
#include "streams/registry.h"

#include <sys/cmn_err.h>
#include <sys/conf.h>
#include <sys/modctl.h>
#include <sys/sunddi.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <thread>

namespace platform::net
{

namespace
{

int nic_open(queue_t *rq, dev_t *devp, int oflag, int sflag, cred_t *cr);
int nic_close(queue_t *rq, int oflag, cred_t *cr);
int nic_rput(queue_t *q, mblk_t *mp);
int nic_wput(queue_t *q, mblk_t *mp);
int nic_attach(dev_info_t *dip, ddi_attach_cmd_t cmd);
int nic_detach(dev_info_t *dip, ddi_detach_cmd_t cmd);
int nic_getinfo(dev_info_t *dip, ddi_info_cmd_t cmd, void *arg, void **result);

// The linkage of one driver: each loaded NIC driver has its own (names differ).
struct NicLinkage {
    struct module_info minfo;
    struct qinit rinit;
    struct qinit winit;
    struct streamtab tab;
    struct cb_ops cb;
    struct dev_ops ops;
    struct modldrv drv;
    struct modlinkage ml;
};

std::mutex registry_lock; // guards registry
std::map<std::string, NicDriverRec *> registry;

// The linkage of every installed driver by module name, for the module entry points, which
// the loader calls with the name set (loading, unloading, and any time for _info). A leaf
// lock: the loader calls _info with its own lock held, and unload runs under registry_lock.
// A linkage is removed only after its module is unloaded, so one found here outlives the
// entry point's call.
std::mutex linkage_lock;
std::map<std::string, struct NicLinkage *> linkages;

NicLinkage *current_linkage()
{
    std::lock_guard l(linkage_lock);
    auto it = linkages.find(platform::streams::loading_module_name());
    return it == linkages.end() ? nullptr : it->second;
}

void set_linkage(const std::string &name, NicLinkage *linkage)
{
    std::lock_guard l(linkage_lock);
    if (linkage)
        linkages[name] = linkage;
    else
        linkages.erase(name);
}

NicLinkage *make_linkage(NicDriverRec *rec)
{
    auto *l = new NicLinkage{};
    l->minfo = {
        0x4e49,            // mi_idnum
        rec->name.c_str(), // mi_idname
        0,                 // mi_minpsz
        INFPSZ,            // mi_maxpsz
        65536,             // mi_hiwat
        1024,              // mi_lowat
    };
    l->rinit = {
        nic_rput,         // qi_putp
        nullptr,          // qi_srvp
        nic_open,         // qi_qopen
        nic_close,        // qi_qclose
        nullptr,          // qi_qadmin
        &l->minfo,        // qi_minfo
        nullptr,          // qi_mstat
        nullptr,          // qi_rwp
        nullptr,          // qi_infop
        STRUIOT_DONTCARE, // qi_struiot
    };
    l->winit = {
        nic_wput,         // qi_putp
        nullptr,          // qi_srvp
        nullptr,          // qi_qopen
        nullptr,          // qi_qclose
        nullptr,          // qi_qadmin
        &l->minfo,        // qi_minfo
        nullptr,          // qi_mstat
        nullptr,          // qi_rwp
        nullptr,          // qi_infop
        STRUIOT_DONTCARE, // qi_struiot
    };
    l->tab = {&l->rinit, &l->winit, nullptr, nullptr};
    l->cb = {
        nulldev,     // cb_open
        nulldev,     // cb_close
        nodev,       // cb_strategy
        nodev,       // cb_print
        nodev,       // cb_dump
        nodev,       // cb_read
        nodev,       // cb_write
        nodev,       // cb_ioctl
        nodev,       // cb_devmap
        nodev,       // cb_mmap
        nodev,       // cb_segmap
        nochpoll,    // cb_chpoll
        ddi_prop_op, // cb_prop_op
        &l->tab,     // cb_str
        D_MP,        // cb_flag
        CB_REV,      // cb_rev
        nodev,       // cb_aread
        nodev,       // cb_awrite
    };
    l->ops = {
        DEVO_REV,               // devo_rev
        0,                      // devo_refcnt
        nic_getinfo,            // devo_getinfo
        nulldev,                // devo_identify
        nulldev,                // devo_probe
        nic_attach,             // devo_attach
        nic_detach,             // devo_detach
        nodev,                  // devo_reset
        &l->cb,                 // devo_cb_ops
        nullptr,                // devo_bus_ops
        nullptr,                // devo_power
        ddi_quiesce_not_needed, // devo_quiesce
    };
    l->drv = {&mod_driverops, "emulated Ethernet NIC", &l->ops};
    l->ml.ml_rev = MODREV_1;
    l->ml.ml_linkage[0] = &l->drv;
    l->ml.ml_linkage[1] = nullptr;
    return l;
}

NicLinkage *linkage_of(NicDriverRec *rec)
{
    return static_cast<NicLinkage *>(rec->linkage_storage);
}

// Module entry points, for the module the loader names.
int nic_mod_init()
{
    NicLinkage *l = current_linkage();
    return l ? mod_install(&l->ml) : ENXIO;
}
int nic_mod_fini()
{
    NicLinkage *l = current_linkage();
    return l ? mod_remove(&l->ml) : EINVAL;
}
int nic_mod_info(struct modinfo *mip)
{
    NicLinkage *l = current_linkage();
    return l ? mod_info(&l->ml, mip) : 0;
}

NicDriverRec *nic_driver_by_name(const std::string &name)
{
    auto it = registry.find(name);
    return it == registry.end() ? nullptr : it->second;
}

/*
 * nic_attach - attach the driver's one device node set
 * Context: mod_install (process context) under the registry lock.
 */
int nic_attach(dev_info_t *dip, ddi_attach_cmd_t cmd)
{
    if (cmd != DDI_ATTACH)
        return DDI_FAILURE;
    NicDriverRec *rec = nic_driver_by_name(ddi_driver_name(dip));
    if (!rec)
        return DDI_FAILURE;
    rec->dip = dip;
    rec->major = ddi_driver_major(dip);
    if (rec->style == 2) {
        if (ddi_create_minor_node(dip, rec->name.c_str(), S_IFCHR, 0, DDI_NT_NET, CLONE_DEV) !=
            DDI_SUCCESS)
            return DDI_FAILURE;
    } else {
        for (const auto &n : rec->instances) {
            if (ddi_create_minor_node(dip, n->ifname.c_str(), S_IFCHR, n->ppa, DDI_NT_NET,
                                      CLONE_DEV) != DDI_SUCCESS) {
                ddi_remove_minor_node(dip, nullptr);
                return DDI_FAILURE;
            }
        }
    }
    ddi_report_dev(dip);
    return DDI_SUCCESS;
}

int nic_detach(dev_info_t *dip, ddi_detach_cmd_t cmd)
{
    if (cmd != DDI_DETACH)
        return DDI_FAILURE;
    ddi_remove_minor_node(dip, nullptr);
    return DDI_SUCCESS;
}

int nic_getinfo(dev_info_t *dip, ddi_info_cmd_t cmd, void *, void **result)
{
    switch (cmd) {
    case DDI_INFO_DEVT2DEVINFO:
        *result = dip;
        return DDI_SUCCESS;
    case DDI_INFO_DEVT2INSTANCE:
        *result = nullptr;
        return DDI_SUCCESS;
    }
    return DDI_FAILURE;
}

/*
 * nic_open - clone open of a NIC node
 * Context: process context (the opener's thread).
 * Return values: 0; ENXIO unknown driver or PPA, no free minor; ENOMEM.
 */
int nic_open(queue_t *rq, dev_t *devp, int, int sflag, cred_t *)
{
    if (rq->q_ptr)
        return 0; // re-open of an existing stream
    if (sflag == MODOPEN)
        return EINVAL; // a driver, not a module
    NicDriverRec *rec = nic_driver_by_major(getmajor(*devp));
    if (!rec)
        return ENXIO;
    NicInstance *nic = nullptr;
    if (rec->style == 1) {
        nic = rec->find_ppa(getminor(*devp));
        if (!nic)
            return ENXIO;
    }
    auto *ns = new (std::nothrow) nic_stream;
    if (!ns)
        return ENOMEM;
    {
        std::lock_guard l(rec->minor_lock);
        std::size_t i = 0;
        while (i < kNicMaxStreams && rec->minors[i])
            i++;
        if (i == kNicMaxStreams) {
            delete ns;
            return ENXIO;
        }
        rec->minors[i] = ns;
        ns->minor = kNicFirstStreamMinor + static_cast<minor_t>(i);
    }
    ns->rq = rq;
    ns->drv = rec;
    ns->nic = nic;
    ns->sap = 0;
    ns->state = nic ? DL_UNBOUND : DL_UNATTACHED;
    *devp = makedevice(getmajor(*devp), ns->minor);
    rq->q_ptr = ns;
    WR(rq)->q_ptr = ns;
    qprocson(rq);
    return 0;
}

/*
 * nic_close - last close of a NIC stream
 * Takes the stream off its instance, waits for receive deliveries in progress on it, then
 * lets the queues go.
 * Context: process context.
 */
int nic_close(queue_t *rq, int, cred_t *)
{
    auto *ns = static_cast<nic_stream *>(rq->q_ptr);
    {
        std::lock_guard s(ns->lock);
        if (ns->state == DL_IDLE)
            nic_unbind_locked(ns);
    }
    // Acquire pairs with the release of each finished delivery (nic_rx.cpp).
    while (ns->rx_inflight.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
    qprocsoff(rq);
    {
        std::lock_guard l(ns->drv->minor_lock);
        ns->drv->minors[ns->minor - kNicFirstStreamMinor] = nullptr;
    }
    rq->q_ptr = nullptr;
    WR(rq)->q_ptr = nullptr;
    delete ns;
    return 0;
}

/*
 * nic_rput - read put procedure (never called in practice: nothing is below the driver)
 */
int nic_rput(queue_t *, mblk_t *mp)
{
    freemsg(mp);
    return 0;
}

/*
 * nic_wput - write put procedure
 * Context: the sender's thread (process, interrupt or callout context). Consumes mp.
 */
int nic_wput(queue_t *wq, mblk_t *mp)
{
    auto *ns = static_cast<nic_stream *>(wq->q_ptr);
    switch (DB_TYPE(mp)) {
    case M_DATA:
        nic_send_data(ns, mp);
        break;
    case M_PROTO:
    case M_PCPROTO:
        nic_proto(ns, wq, mp);
        break;
    case M_IOCTL:
        nic_ioctl(ns, wq, mp);
        break;
    case M_FLUSH:
        if (*mp->b_rptr & FLUSHW) {
            flushq(wq, FLUSHALL);
            *mp->b_rptr &= static_cast<unsigned char>(~FLUSHW);
        }
        if (*mp->b_rptr & FLUSHR) {
            flushq(RD(wq), FLUSHALL);
            qreply(wq, mp);
        } else {
            freemsg(mp);
        }
        break;
    default:
        freemsg(mp);
        break;
    }
    return 0;
}

bool valid_config(const NicDriverConfig &cfg)
{
    if (cfg.name.empty() || cfg.name.size() > 12 || (cfg.style != 1 && cfg.style != 2) ||
        cfg.instances.empty())
        return false;
    for (char c : cfg.name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    if (cfg.name.back() >= '0' && cfg.name.back() <= '9')
        return false; // "<name><ppa>" must be unambiguous
    for (std::size_t i = 0; i < cfg.instances.size(); i++) {
        const auto &n = cfg.instances[i];
        if (!n.backend || n.mtu < 68 || n.mtu > kNicMaxMtu || n.ppa >= kNicFirstStreamMinor ||
            mac_is_group(n.mac.data()))
            return false;
        for (std::size_t j = 0; j < i; j++)
            if (cfg.instances[j].ppa == n.ppa)
                return false;
    }
    return true;
}

} // namespace

NicDriverRec *nic_driver_by_major(major_t major)
{
    std::string name = platform::ddi::major_name(major);
    std::lock_guard l(registry_lock);
    return nic_driver_by_name(name);
}

int NicDriver::load(NicDriverConfig cfg, std::unique_ptr<NicDriver> *out)
{
    if (!valid_config(cfg))
        return EINVAL;
    auto *rec = new NicDriverRec;
    rec->name = cfg.name;
    rec->style = cfg.style;
    for (auto &ic : cfg.instances) {
        auto n = std::make_unique<NicInstance>();
        n->drv = rec;
        n->ppa = ic.ppa;
        n->mac_addr = ic.mac;
        n->mtu = ic.mtu;
        n->promiscuous = ic.promiscuous;
        n->ifname = cfg.name + std::to_string(ic.ppa);
        n->backend = std::move(ic.backend);
        rec->instances.push_back(std::move(n));
    }
    rec->linkage_storage = make_linkage(rec);
    int err;
    {
        std::lock_guard l(registry_lock);
        if (registry.count(rec->name)) {
            err = EEXIST;
        } else {
            registry[rec->name] = rec;
            set_linkage(rec->name, linkage_of(rec));
            err = platform::modules::load_builtin(rec->name, nic_mod_init, nic_mod_fini,
                                                  nic_mod_info);
            if (err) {
                set_linkage(rec->name, nullptr);
                registry.erase(rec->name);
            }
        }
    }
    if (err) {
        delete linkage_of(rec);
        delete rec;
        return err;
    }
    for (auto &n : rec->instances) {
        if (int e = n->backend->start(n.get()))
            cmn_err(CE_WARN, "%s: backend %s did not start (%d)", n->ifname.c_str(),
                    n->backend->name(), e);
    }
    *out = std::make_unique<NicDriver>(rec);
    return 0;
}

NicDriver::~NicDriver()
{
    // Backends first: no receive runs into a stream after this.
    for (auto &n : rec_->instances)
        n->backend->stop();
    int err;
    {
        std::lock_guard l(registry_lock);
        err = platform::modules::unload(rec_->name);
        if (err == 0) {
            set_linkage(rec_->name, nullptr);
            registry.erase(rec_->name);
        }
    }
    if (err) {
        // Streams still open: the driver must stay installed; its records are kept.
        cmn_err(CE_WARN, "%s: unload failed (%d), driver left installed", rec_->name.c_str(), err);
        return;
    }
    delete linkage_of(rec_);
    delete rec_;
}

const std::string &NicDriver::name() const
{
    return rec_->name;
}
int NicDriver::style() const
{
    return rec_->style;
}
Nic *NicDriver::instance(unsigned ppa)
{
    NicInstance *n = rec_->find_ppa(ppa);
    return n ? &n->handle : nullptr;
}

const std::string &Nic::ifname() const
{
    return impl_->ifname;
}
unsigned Nic::ppa() const
{
    return impl_->ppa;
}
const MacAddr &Nic::mac() const
{
    return impl_->mac_addr;
}
std::uint32_t Nic::mtu() const
{
    return impl_->mtu;
}
const NicCounters &Nic::counters() const
{
    return impl_->counters;
}
Backend &Nic::backend()
{
    return *impl_->backend;
}

Nic *nic_find(const std::string &ifname)
{
    std::lock_guard l(registry_lock);
    for (auto &[name, rec] : registry)
        for (auto &n : rec->instances)
            if (n->ifname == ifname)
                return &n->handle;
    return nullptr;
}

} // namespace platform::net
