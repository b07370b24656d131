/*
 * The kernel's configuration tables: name to major numbers, installed drivers with their
 * instance and minor nodes, the STREAMS module switch table, and the open streams by device
 * number (for re-opens).
 *
 * Lock key: r = the registry mutex (registry().m); i = set at creation, never changed.
 * Lock order: a stream's plumbing mutex before the registry mutex. No driver or module code is
 * ever called with the registry mutex held.
 */
#ifndef NVX_PLATFORM_STREAMS_REGISTRY_H
#define NVX_PLATFORM_STREAMS_REGISTRY_H

#include <sys/conf.h>
#include <sys/devops.h>
#include <sys/ktypes.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct stdata;

namespace platform::streams
{

struct Driver;
}

// The device information node of a driver instance.
struct dev_info {
    platform::streams::Driver *driver; // i
    int instance;                      // i
};

namespace platform::streams
{

struct Driver {
    std::string name;              // i
    major_t major = 0;             // i
    struct dev_ops *ops = nullptr; // i
    dev_info dip{};                // i: instance 0
    int streams = 0;               // r: open streams on this driver
    bool attached = false;         // r: opens allowed
    bool removing = false;         // r: mod_remove in progress
};

struct MinorNode {
    std::string name; // node name (path is "/dev/" + name)
    Driver *driver = nullptr;
    minor_t minor = 0;
    bool clone = false;
    int spec_type = 0;
    std::string node_type;
};

struct StreamsModule {
    std::string name;
    struct fmodsw *sw = nullptr;
    int uses = 0; // r: instances pushed on streams
};

struct Registry {
    std::mutex m;
    std::map<std::string, unsigned> name_to_major;          // r
    std::map<unsigned, std::string> major_to_name;          // r
    unsigned next_major = 1;                                // r
    std::map<std::string, std::unique_ptr<Driver>> drivers; // r: installed, by name
    std::map<std::string, MinorNode> nodes;                 // r: by path
    std::map<std::string, StreamsModule> modules;           // r: by name
    std::map<dev_t, std::weak_ptr<stdata>> streams;         // r: open streams by device
};

Registry &registry();

// Caller holds registry().m.
unsigned major_for_locked(const std::string &name);
Driver *driver_by_major_locked(major_t major);

// The name of the module whose _init/_fini runs on this thread ("" outside them).
const std::string &loading_module_name();
void set_loading_module_name(const std::string &name);

// On-demand loading hook (platform::modules::set_autoload); false when none is set.
bool autoload(const std::string &name);

// Installs the platform's built-in drivers (the SAD) once.
void ensure_builtins();

} // namespace platform::streams

#endif
