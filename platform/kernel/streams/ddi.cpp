/*
 * DDI device configuration: minor nodes, instances, reports, properties, copyin/copyout,
 * devmap_umem_setup, and the conventional entry point fillers.
 *
 * Context: attach/detach (process context) for the node calls; any context for the queries.
 */
#include "devmap.h"
#include "registry.h"

#include "umem_internal.h"

#include <sys/cmn_err.h>
#include <sys/sunddi.h>

#include <cerrno>
#include <cstring>

using platform::streams::MinorNode;
using platform::streams::registry;

extern "C" {

int ddi_create_minor_node(dev_info_t *dip, const char *name, int spec_type, minor_t minor,
                          const char *node_type, int flag)
{
    if (!dip || !dip->driver || !name || !*name || name[0] == '/' ||
        (spec_type != S_IFCHR && spec_type != S_IFBLK) || (flag & ~CLONE_DEV))
        return DDI_FAILURE;
    std::string path = std::string("/dev/") + name;
    std::lock_guard<std::mutex> g(registry().m);
    auto [it, inserted] = registry().nodes.try_emplace(path);
    if (!inserted)
        return DDI_FAILURE;
    MinorNode &n = it->second;
    n.name = name;
    n.driver = dip->driver;
    n.minor = minor;
    n.clone = (flag & CLONE_DEV) != 0;
    n.spec_type = spec_type;
    n.node_type = node_type ? node_type : "";
    return DDI_SUCCESS;
}

void ddi_remove_minor_node(dev_info_t *dip, const char *name)
{
    if (!dip)
        return;
    std::lock_guard<std::mutex> g(registry().m);
    auto &nodes = registry().nodes;
    for (auto it = nodes.begin(); it != nodes.end();) {
        if (it->second.driver == dip->driver && (!name || it->second.name == name))
            it = nodes.erase(it);
        else
            ++it;
    }
}

void ddi_report_dev(dev_info_t *dip)
{
    if (!dip || !dip->driver)
        return;
    const char *name = dip->driver->name.c_str();
    cmn_err(CE_CONT, "pseudo-device: %s%d\n", name, dip->instance);
    cmn_err(CE_CONT, "%s%d is /pseudo/%s@%d\n", name, dip->instance, name, dip->instance);
}

void ddi_prop_remove_all(dev_info_t *dip)
{
    (void)dip; // this platform keeps no device properties
}

int ddi_get_instance(dev_info_t *dip)
{
    return dip ? dip->instance : -1;
}

const char *ddi_driver_name(dev_info_t *dip)
{
    return dip && dip->driver ? dip->driver->name.c_str() : "";
}

major_t ddi_driver_major(dev_info_t *dip)
{
    return dip && dip->driver ? dip->driver->major : 0;
}

int ddi_copyin(const void *buf, void *driverbuf, size_t cn, int flags)
{
    (void)flags;
    if (cn == 0)
        return 0;
    if (!buf || !driverbuf)
        return -1;
    memcpy(driverbuf, buf, cn);
    return 0;
}

int ddi_copyout(const void *driverbuf, void *buf, size_t cn, int flags)
{
    (void)flags;
    if (cn == 0)
        return 0;
    if (!buf || !driverbuf)
        return -1;
    memcpy(buf, driverbuf, cn);
    return 0;
}

int devmap_umem_setup(devmap_cookie_t dhp, dev_info_t *dip, struct devmap_callback_ctl *callbackops,
                      ddi_umem_cookie_t cookie, offset_t koff, size_t len, uint_t maxprot,
                      uint_t flags, ddi_device_acc_attr_t *accattrp)
{
    (void)accattrp;
    if (!dhp || !cookie || callbackops || flags != 0 || len == 0 || koff < 0 ||
        (static_cast<size_t>(koff) & PAGEOFFSET) || (len & PAGEOFFSET))
        return -1;
    platform::umem::Backing b = platform::umem::backing(cookie);
    if (static_cast<size_t>(koff) > b.size || len > b.size - static_cast<size_t>(koff))
        return -1;
    dhp->set = true;
    dhp->cookie = cookie;
    dhp->koff = koff;
    dhp->len = len;
    dhp->maxprot = maxprot;
    dhp->dip = dip;
    return 0;
}

int ddi_prop_op(dev_t dev, dev_info_t *dip, ddi_prop_op_t prop_op, int mod_flags, char *name,
                caddr_t valuep, int *lengthp)
{
    (void)dev, (void)dip, (void)prop_op, (void)mod_flags, (void)name, (void)valuep, (void)lengthp;
    return DDI_PROP_NOT_FOUND;
}

int ddi_devmap_segmap(dev_t dev, off_t off, struct as *asp, caddr_t *addrp, off_t len, uint_t prot,
                      uint_t maxprot, uint_t flags, cred_t *credp)
{
    // The platform's mapping path calls cb_devmap itself (StreamFile::mmap); nothing to do.
    (void)dev, (void)off, (void)asp, (void)addrp, (void)len, (void)prot, (void)maxprot, (void)flags,
        (void)credp;
    return 0;
}

int nochpoll(dev_t dev, short events, int anyyet, short *reventsp, struct pollhead **phpp)
{
    (void)dev, (void)events, (void)anyyet, (void)reventsp, (void)phpp;
    return ENXIO;
}

int ddi_quiesce_not_needed(dev_info_t *dip)
{
    (void)dip;
    return DDI_SUCCESS;
}

} // extern "C"
