/*
 * Module linkage: mod_install, mod_remove, mod_info, and the registry tables they fill.
 *
 * A driver linkage is registered under the name of the module being loaded (as the target names
 * a driver by its object file); its instance 0 is attached at install, so its minor nodes exist
 * once _init has returned. A STREAMS module linkage enters its fmodsw in the switch table.
 *
 * Context: _init and _fini of a module, in the thread that loads or unloads it.
 */
#include "modules.h"
#include "registry.h"

#include <sys/cmn_err.h>
#include <sys/modctl.h>
#include <sys/stream.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace platform::streams
{

namespace
{
constexpr int kDriverKind = 1;
constexpr int kStrmodKind = 2;
thread_local std::string t_loading;
} // namespace

Registry &registry()
{
    // Never destroyed: kernel objects and threads may use it until the process exits.
    static Registry *r = new Registry;
    return *r;
}

const std::string &loading_module_name()
{
    return t_loading;
}

void set_loading_module_name(const std::string &name)
{
    t_loading = name;
}

unsigned major_for_locked(const std::string &name)
{
    Registry &r = registry();
    auto it = r.name_to_major.find(name);
    if (it != r.name_to_major.end())
        return it->second;
    unsigned major = r.next_major++;
    r.name_to_major[name] = major;
    r.major_to_name[major] = name;
    return major;
}

Driver *driver_by_major_locked(major_t major)
{
    Registry &r = registry();
    auto n = r.major_to_name.find(major);
    if (n == r.major_to_name.end())
        return nullptr;
    auto d = r.drivers.find(n->second);
    return d == r.drivers.end() ? nullptr : d->second.get();
}

namespace
{

int kind_of(void *linkage)
{
    // Every linkage record starts with its mod_ops pointer.
    struct mod_ops *ops = *static_cast<struct mod_ops **>(linkage);
    return ops ? ops->mo_kind : 0;
}

void remove_nodes_of(Driver *d)
{
    Registry &r = registry();
    for (auto it = r.nodes.begin(); it != r.nodes.end();) {
        if (it->second.driver == d)
            it = r.nodes.erase(it);
        else
            ++it;
    }
}

int install_driver(struct modldrv *ml)
{
    const std::string &name = loading_module_name();
    if (name.empty() || !ml->drv_dev_ops)
        return EINVAL;
    Driver *d;
    {
        std::lock_guard<std::mutex> g(registry().m);
        auto &slot = registry().drivers[name];
        if (slot)
            return EEXIST;
        slot = std::make_unique<Driver>();
        d = slot.get();
        d->name = name;
        d->major = major_for_locked(name);
        d->ops = ml->drv_dev_ops;
        d->dip = dev_info{d, 0};
    }
    int rc = 0;
    if (d->ops->devo_attach)
        rc = d->ops->devo_attach(&d->dip, DDI_ATTACH);
    std::lock_guard<std::mutex> g(registry().m);
    if (rc != 0) {
        cmn_err(CE_WARN, "%s: attach of instance 0 failed", name.c_str());
        remove_nodes_of(d);
        registry().drivers.erase(name);
        return ENXIO;
    }
    d->attached = true;
    return 0;
}

int install_strmod(struct modlstrmod *ml)
{
    struct fmodsw *sw = ml->strmod_fmodsw;
    if (!sw || !sw->f_str || memchr(sw->f_name, 0, sizeof sw->f_name) == nullptr ||
        sw->f_name[0] == 0)
        return EINVAL;
    std::lock_guard<std::mutex> g(registry().m);
    auto [it, inserted] = registry().modules.try_emplace(sw->f_name);
    if (!inserted)
        return EEXIST;
    it->second.name = sw->f_name;
    it->second.sw = sw;
    return 0;
}

// Undoes install_driver / install_strmod without the busy check (the caller did it).
void uninstall_driver(const std::string &name, bool detach)
{
    Driver *d;
    {
        std::lock_guard<std::mutex> g(registry().m);
        auto it = registry().drivers.find(name);
        if (it == registry().drivers.end())
            return;
        d = it->second.get();
    }
    if (detach && d->ops->devo_detach)
        d->ops->devo_detach(&d->dip, DDI_DETACH);
    std::lock_guard<std::mutex> g(registry().m);
    remove_nodes_of(d);
    registry().drivers.erase(name);
}

void uninstall_strmod(struct modlstrmod *ml)
{
    std::lock_guard<std::mutex> g(registry().m);
    auto it = registry().modules.find(ml->strmod_fmodsw->f_name);
    if (it != registry().modules.end() && it->second.sw == ml->strmod_fmodsw)
        registry().modules.erase(it);
}

} // namespace

} // namespace platform::streams

using namespace platform::streams;

extern "C" {

struct mod_ops mod_driverops = {1};
struct mod_ops mod_strmodops = {2};

int mod_install(struct modlinkage *ml)
{
    if (!ml || ml->ml_rev != MODREV_1 || !ml->ml_linkage[0])
        return EINVAL;
    constexpr size_t n = sizeof ml->ml_linkage / sizeof ml->ml_linkage[0];
    for (size_t i = 0; i < n && ml->ml_linkage[i]; ++i) {
        void *l = ml->ml_linkage[i];
        int kind = kind_of(l);
        int rc = kind == kDriverKind   ? install_driver(static_cast<struct modldrv *>(l))
                 : kind == kStrmodKind ? install_strmod(static_cast<struct modlstrmod *>(l))
                                       : EINVAL;
        if (rc == 0)
            continue;
        // Take back what this linkage installed so far.
        for (size_t j = 0; j < i; ++j) {
            void *done = ml->ml_linkage[j];
            if (kind_of(done) == kDriverKind)
                uninstall_driver(loading_module_name(), true);
            else
                uninstall_strmod(static_cast<struct modlstrmod *>(done));
        }
        return rc;
    }
    return 0;
}

int mod_remove(struct modlinkage *ml)
{
    if (!ml || ml->ml_rev != MODREV_1)
        return EINVAL;
    constexpr size_t n = sizeof ml->ml_linkage / sizeof ml->ml_linkage[0];
    const std::string &name = loading_module_name();
    Driver *driver = nullptr;
    {
        // The whole linkage is refused while any part of it is in use.
        std::lock_guard<std::mutex> g(registry().m);
        for (size_t i = 0; i < n && ml->ml_linkage[i]; ++i) {
            void *l = ml->ml_linkage[i];
            if (kind_of(l) == kDriverKind) {
                auto it = registry().drivers.find(name);
                if (it == registry().drivers.end())
                    continue;
                if (it->second->streams > 0 || it->second->removing)
                    return EBUSY;
                driver = it->second.get();
            } else if (kind_of(l) == kStrmodKind) {
                auto *sm = static_cast<struct modlstrmod *>(l);
                auto it = registry().modules.find(sm->strmod_fmodsw->f_name);
                if (it != registry().modules.end() && it->second.uses > 0)
                    return EBUSY;
            }
        }
        if (driver) {
            driver->removing = true; // new opens fail from now on
            driver->attached = false;
        }
    }
    if (driver && driver->ops->devo_detach &&
        driver->ops->devo_detach(&driver->dip, DDI_DETACH) != 0) {
        std::lock_guard<std::mutex> g(registry().m);
        driver->removing = false;
        driver->attached = true;
        return EBUSY;
    }
    for (size_t i = 0; i < n && ml->ml_linkage[i]; ++i) {
        void *l = ml->ml_linkage[i];
        if (kind_of(l) == kDriverKind)
            uninstall_driver(name, false);
        else if (kind_of(l) == kStrmodKind)
            uninstall_strmod(static_cast<struct modlstrmod *>(l));
    }
    return 0;
}

int mod_info(struct modlinkage *ml, struct modinfo *mip)
{
    if (!ml || !mip || ml->ml_rev != MODREV_1)
        return 0;
    memset(mip, 0, sizeof *mip);
    mip->mi_rev = ml->ml_rev;
    mip->mi_id = 0;
    mip->mi_loadcnt = 1;
    snprintf(mip->mi_name, sizeof mip->mi_name, "%s", loading_module_name().c_str());
    constexpr size_t n = sizeof ml->ml_linkage / sizeof ml->ml_linkage[0];
    for (size_t i = 0; i < n && i < MODMAXLINK && ml->ml_linkage[i]; ++i) {
        void *l = ml->ml_linkage[i];
        struct modspecific_info *msi = &mip->mi_msinfo[i];
        msi->msi_p0 = -1;
        if (kind_of(l) == kDriverKind) {
            auto *d = static_cast<struct modldrv *>(l);
            snprintf(msi->msi_linkinfo, sizeof msi->msi_linkinfo, "%s",
                     d->drv_linkinfo ? d->drv_linkinfo : "");
            long major = platform::ddi::find_major(loading_module_name());
            msi->msi_p0 = static_cast<int>(major);
        } else if (kind_of(l) == kStrmodKind) {
            auto *s = static_cast<struct modlstrmod *>(l);
            snprintf(msi->msi_linkinfo, sizeof msi->msi_linkinfo, "%s",
                     s->strmod_linkinfo ? s->strmod_linkinfo : "");
        } else {
            return 0;
        }
    }
    return 1;
}

} // extern "C"

namespace platform::ddi
{

std::string name_to_major_text()
{
    std::lock_guard<std::mutex> g(registry().m);
    std::ostringstream out;
    for (auto &[major, name] : registry().major_to_name)
        out << name << ' ' << major << '\n';
    return out.str();
}

unsigned major_for(const std::string &driver)
{
    std::lock_guard<std::mutex> g(registry().m);
    return major_for_locked(driver);
}

long find_major(const std::string &driver)
{
    std::lock_guard<std::mutex> g(registry().m);
    auto it = registry().name_to_major.find(driver);
    return it == registry().name_to_major.end() ? -1 : static_cast<long>(it->second);
}

std::string major_name(unsigned major)
{
    std::lock_guard<std::mutex> g(registry().m);
    auto it = registry().major_to_name.find(major);
    return it == registry().major_to_name.end() ? std::string() : it->second;
}

std::vector<std::string> device_paths()
{
    ensure_builtins();
    std::lock_guard<std::mutex> g(registry().m);
    std::vector<std::string> out;
    for (auto &[path, node] : registry().nodes)
        out.push_back(path);
    return out;
}

} // namespace platform::ddi
