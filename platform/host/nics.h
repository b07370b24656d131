/*
 * The NIC drivers of the host's configuration: one NicDriver per driver name, one instance per
 * NIC, each with the backend its description names.
 */
#ifndef NVX_PLATFORM_HOST_NICS_H
#define NVX_PLATFORM_HOST_NICS_H

#include "options.h"

#include "nic/nic.h"

#include <memory>
#include <string>
#include <vector>

namespace platform::host
{

// Loads every driver (its backends start). Returns "" or what failed; drivers loaded before a
// failure stay in *out.
std::string load_nics(const std::vector<NicSpec> &nics,
                      std::vector<std::unique_ptr<platform::net::NicDriver>> *out);

} // namespace platform::host

#endif
