/*
 * Loadable kernel modules: loading a kernel object (a shared object built with
 * nvx_add_kernel_object) the way modload does, and the tables its mod_install fills.
 *
 *   std::string name;
 *   if (int err = platform::modules::load("/path/nvx.so", &name)) ...; // dlopen + _init
 *   ... streams use /dev/nvx and the module "nvx" ...
 *   err = platform::modules::unload("nvx");   // _fini; EBUSY while a stream uses it
 *
 * The kernel object resolves the platform's symbols from the executable that loads it, so that
 * executable is linked with nvx_kernel_host() (CMake, platform/kernel/streams/KernelObject.cmake).
 * Drivers compiled into the executable are installed with load_builtin().
 *
 * The module name is the object's file name without directory and extension ("nvx.so" and
 * "nvx" give "nvx"); mod_install of a driver linkage registers the driver under that name.
 */
#ifndef NVX_PLATFORM_STREAMS_MODULES_H
#define NVX_PLATFORM_STREAMS_MODULES_H

#include <functional>
#include <string>
#include <vector>

struct modinfo;

namespace platform::modules
{

// dlopen(path, RTLD_NOW | RTLD_LOCAL), then its _init. Returns 0, or _init's error (the object
// is closed again), ENOENT/ENOEXEC when it cannot be opened or has no _init, EEXIST when a
// module of that name is loaded. *name (if given) receives the module name.
int load(const std::string &path, std::string *name = nullptr);

// A module compiled into the executable: its entry points instead of an object file.
int load_builtin(const std::string &name, int (*init)(), int (*fini)(),
                 int (*info)(struct modinfo *));

// Calls the module's _fini; when it returns 0 the object is closed (dlclose) and forgotten.
// Returns _fini's error (EBUSY while in use) or ENOENT when no such module is loaded.
int unload(const std::string &name);

bool loaded(const std::string &name);
std::vector<std::string> loaded_names();

// _info of a loaded module through mod_info; 0 on failure as on the target.
int info(const std::string &name, struct modinfo *mip);

// Called with a driver or module name when an open, push or autopush configuration needs a
// driver or STREAMS module that is not installed (the target loads it on demand). Returns
// whether it loaded something. Empty (the default): nothing is loaded on demand.
void set_autoload(std::function<bool(const std::string &name)> hook);

// The undefined dynamic symbols of a shared object (weak ones excluded), read from its ELF
// dynamic symbol table; empty with *error set when the file is not a readable ELF object.
std::vector<std::string> undefined_symbols(const std::string &path, std::string *error = nullptr);

} // namespace platform::modules

namespace platform::ddi
{

// The driver name to major number table in the platform file format: "name major" per line.
std::string name_to_major_text();

// Major number of a driver name, assigning the next free one at the first call for a name
// (numbers are never reused or changed while the process lives). 0 never names a driver.
unsigned major_for(const std::string &driver);
// Major of a known name, or -1.
long find_major(const std::string &driver);
// Name of a major, or "".
std::string major_name(unsigned major);

// Device paths that minor nodes currently provide ("/dev/nvx", "/dev/sad/admin", ...).
std::vector<std::string> device_paths();

} // namespace platform::ddi

#endif
