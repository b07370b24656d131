/*
 * The host's configuration: command-line options and the configuration file, both naming the
 * same things (NICs with their backends, kernel objects to load, interfaces to plumb and
 * bridge). See usage_text() for the syntax.
 */
#ifndef NVX_PLATFORM_HOST_OPTIONS_H
#define NVX_PLATFORM_HOST_OPTIONS_H

#include "frame/ether.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace platform::host
{

struct NicSpec {
    std::string ifname; // "<driver><ppa>", e.g. "hme0"
    std::string driver; // "hme"
    unsigned ppa = 0;
    int style = 2;
    platform::net::MacAddr mac{};
    bool mac_set = false;
    std::uint32_t mtu = 1500;
    bool promiscuous = false;
    std::string backend = "sink";              // sink, generator, pcap, wire, tap
    std::map<std::string, std::string> params; // the backend's own keys
};

struct HostOptions {
    std::string root; // "" until resolved
    std::vector<NicSpec> nics;
    std::vector<std::string> module_path;
    std::vector<std::string> modload;
    std::vector<std::string> plumb;
    std::vector<std::pair<std::string, std::string>> bridges;
    bool echo_console = false;
};

// One NIC description: "hme0,style=1,mac=02:..,mtu=1500,promisc,backend=tap,tap=nvx0" (commas
// or white space between the items). Returns "" or what is wrong.
std::string parse_nic_spec(const std::string &text, NicSpec *out);

// Adds the lines of a configuration file to opts. Returns "" or "file:line: what".
std::string read_config_file(const std::string &path, HostOptions *opts);

// Checks the whole configuration (unique names, consistent styles, wire peers). "" or what.
std::string check_options(HostOptions *opts);

// The root directory: explicit (--root), else $NVX_ROOT, else /tmp/nvx-<euid>.
std::string resolve_root(const std::string &explicit_root);

const char *usage_text();

} // namespace platform::host

#endif
