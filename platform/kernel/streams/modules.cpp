/*
 * Loading kernel objects (modload/modunload): dlopen, _init, _info, _fini, dlclose.
 *
 * Loads and unloads are serialised by one mutex, held while _init/_fini run; the name of the
 * module is published to mod_install/mod_remove through a thread-local (registry.h).
 */
#include "modules.h"

#include "registry.h"

#include <sys/cmn_err.h>
#include <sys/modctl.h>

#include <dlfcn.h>

#include <cerrno>
#include <map>
#include <mutex>

namespace platform::modules
{

namespace
{

struct Loaded {
    void *handle = nullptr; // dlopen handle; nullptr for a built-in module
    int (*init)() = nullptr;
    int (*fini)() = nullptr;
    int (*info)(struct modinfo *) = nullptr;
};

struct Loader {
    std::mutex m; // held across _init/_fini
    std::map<std::string, Loaded> loaded;
    std::mutex hook_m;
    std::function<bool(const std::string &)> hook;
};

Loader &loader()
{
    static Loader *l = new Loader; // never destroyed: see registry()
    return *l;
}

std::string module_name(const std::string &path)
{
    std::string base = path.substr(path.find_last_of('/') + 1);
    return base.substr(0, base.find('.'));
}

// Runs fn with the module's name visible to mod_install/mod_remove/mod_info.
template <class F> int as_module(const std::string &name, F fn)
{
    std::string saved = platform::streams::loading_module_name();
    platform::streams::set_loading_module_name(name);
    int rc = fn();
    platform::streams::set_loading_module_name(saved);
    return rc;
}

int install(const std::string &name, Loaded l)
{
    // Caller holds loader().m.
    int rc = as_module(name, l.init);
    if (rc != 0) {
        cmn_err(CE_NOTE, "load of module %s failed: _init returned %d", name.c_str(), rc);
        return rc;
    }
    loader().loaded[name] = l;
    return 0;
}

} // namespace

int load(const std::string &path, std::string *name_out)
{
    std::string name = module_name(path);
    if (name_out)
        *name_out = name;
    std::lock_guard<std::mutex> g(loader().m);
    if (loader().loaded.count(name))
        return EEXIST;
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char *why = dlerror();
        cmn_err(CE_NOTE, "cannot load %s: %s", path.c_str(), why ? why : "?");
        return ENOENT;
    }
    Loaded l;
    l.handle = h;
    l.init = reinterpret_cast<int (*)()>(dlsym(h, "_init"));
    l.fini = reinterpret_cast<int (*)()>(dlsym(h, "_fini"));
    l.info = reinterpret_cast<int (*)(struct modinfo *)>(dlsym(h, "_info"));
    if (!l.init || !l.fini) {
        cmn_err(CE_NOTE, "cannot load %s: no _init or _fini", path.c_str());
        dlclose(h);
        return ENOEXEC;
    }
    int rc = install(name, l);
    if (rc != 0)
        dlclose(h);
    return rc;
}

int load_builtin(const std::string &name, int (*init)(), int (*fini)(),
                 int (*info)(struct modinfo *))
{
    if (!init || !fini)
        return EINVAL;
    std::lock_guard<std::mutex> g(loader().m);
    if (loader().loaded.count(name))
        return EEXIST;
    Loaded l;
    l.init = init;
    l.fini = fini;
    l.info = info;
    return install(name, l);
}

int unload(const std::string &name)
{
    std::lock_guard<std::mutex> g(loader().m);
    auto it = loader().loaded.find(name);
    if (it == loader().loaded.end())
        return ENOENT;
    int rc = as_module(name, it->second.fini);
    if (rc != 0)
        return rc;
    if (it->second.handle)
        dlclose(it->second.handle);
    loader().loaded.erase(it);
    return 0;
}

bool loaded(const std::string &name)
{
    std::lock_guard<std::mutex> g(loader().m);
    return loader().loaded.count(name) != 0;
}

std::vector<std::string> loaded_names()
{
    std::lock_guard<std::mutex> g(loader().m);
    std::vector<std::string> out;
    for (auto &[name, l] : loader().loaded)
        out.push_back(name);
    return out;
}

int info(const std::string &name, struct modinfo *mip)
{
    std::lock_guard<std::mutex> g(loader().m);
    auto it = loader().loaded.find(name);
    if (it == loader().loaded.end() || !it->second.info)
        return 0;
    auto *fn = it->second.info;
    return as_module(name, [&] { return fn(mip); });
}

void set_autoload(std::function<bool(const std::string &name)> hook)
{
    std::lock_guard<std::mutex> g(loader().hook_m);
    loader().hook = std::move(hook);
}

} // namespace platform::modules

namespace platform::streams
{

bool autoload(const std::string &name)
{
    std::function<bool(const std::string &)> hook;
    {
        std::lock_guard<std::mutex> g(platform::modules::loader().hook_m);
        hook = platform::modules::loader().hook;
    }
    return hook && hook(name);
}

} // namespace platform::streams
