#include "options.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <unistd.h>

namespace platform::host
{

namespace
{

std::vector<std::string> split_items(const std::string &text)
{
    std::vector<std::string> items;
    std::string cur;
    for (char ch : text) {
        if (ch == ',' || std::isspace(static_cast<unsigned char>(ch))) {
            if (!cur.empty())
                items.push_back(cur);
            cur.clear();
        } else {
            cur += ch;
        }
    }
    if (!cur.empty())
        items.push_back(cur);
    return items;
}

bool parse_unsigned(const std::string &s, unsigned long max, unsigned long *out)
{
    if (s.empty() || s.size() > 12)
        return false;
    for (char ch : s)
        if (!std::isdigit(static_cast<unsigned char>(ch)))
            return false;
    unsigned long v = std::strtoul(s.c_str(), nullptr, 10);
    if (v > max)
        return false;
    *out = v;
    return true;
}

const std::set<std::string> kBackends = {"sink", "generator", "pcap", "wire", "tap"};
const std::set<std::string> kBackendKeys = {"tap",    "file", "loops", "rate",
                                            "frames", "seed", "ip",    "peer"};

} // namespace

std::string parse_nic_spec(const std::string &text, NicSpec *out)
{
    std::vector<std::string> items = split_items(text);
    if (items.empty())
        return "empty NIC description";
    NicSpec n;
    n.ifname = items[0];
    size_t digits = n.ifname.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(n.ifname[digits - 1])))
        --digits;
    n.driver = n.ifname.substr(0, digits);
    unsigned long ppa = 0;
    if (n.driver.empty() || n.driver.size() > 12 || digits == n.ifname.size() ||
        !parse_unsigned(n.ifname.substr(digits), 999, &ppa))
        return "NIC name '" + n.ifname + "' is not <driver><ppa> (e.g. hme0)";
    for (char ch : n.driver)
        if (!std::islower(static_cast<unsigned char>(ch)) && ch != '_')
            return "NIC driver name '" + n.driver + "' must be lower-case letters";
    n.ppa = static_cast<unsigned>(ppa);
    for (size_t i = 1; i < items.size(); ++i) {
        const std::string &it = items[i];
        size_t eq = it.find('=');
        std::string key = it.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : it.substr(eq + 1);
        unsigned long v = 0;
        if (key == "promisc" && eq == std::string::npos) {
            n.promiscuous = true;
        } else if (key == "style") {
            if (!parse_unsigned(val, 2, &v) || v < 1)
                return n.ifname + ": style must be 1 or 2";
            n.style = static_cast<int>(v);
        } else if (key == "mtu") {
            if (!parse_unsigned(val, 9000, &v) || v < 68)
                return n.ifname + ": mtu must be 68..9000";
            n.mtu = static_cast<std::uint32_t>(v);
        } else if (key == "mac") {
            auto mac = platform::net::parse_mac(val);
            if (!mac)
                return n.ifname + ": bad mac '" + val + "'";
            n.mac = *mac;
            n.mac_set = true;
        } else if (key == "backend") {
            if (!kBackends.count(val))
                return n.ifname + ": unknown backend '" + val +
                       "' (sink, generator, pcap, wire, tap)";
            n.backend = val;
        } else if (kBackendKeys.count(key) && eq != std::string::npos) {
            n.params[key] = val;
        } else {
            return n.ifname + ": unknown item '" + it + "'";
        }
    }
    *out = std::move(n);
    return "";
}

std::string read_config_file(const std::string &path, HostOptions *opts)
{
    std::ifstream in(path);
    if (!in)
        return path + ": cannot be read";
    std::string line;
    int lineno = 0;
    while (std::getline(in, line)) {
        ++lineno;
        std::string where = path + ":" + std::to_string(lineno) + ": ";
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::istringstream ls(line);
        std::string word;
        if (!(ls >> word))
            continue;
        std::string rest;
        std::getline(ls, rest);
        std::vector<std::string> args = split_items(rest);
        if (word == "nic") {
            NicSpec n;
            if (std::string err = parse_nic_spec(rest, &n); !err.empty())
                return where + err;
            opts->nics.push_back(std::move(n));
        } else if (word == "module-path" && args.size() == 1) {
            opts->module_path.push_back(args[0]);
        } else if (word == "modload" && args.size() == 1) {
            opts->modload.push_back(args[0]);
        } else if (word == "plumb" && args.size() == 1) {
            opts->plumb.push_back(args[0]);
        } else if (word == "bridge" && args.size() == 2) {
            opts->bridges.emplace_back(args[0], args[1]);
        } else {
            return where + "expected 'nic NAME ...', 'module-path DIR', 'modload FILE', "
                           "'plumb IF' or 'bridge IF IF'";
        }
    }
    return "";
}

std::string check_options(HostOptions *opts)
{
    std::set<std::string> names;
    std::map<std::string, int> styles;
    unsigned index = 0;
    for (NicSpec &n : opts->nics) {
        ++index;
        if (!names.insert(n.ifname).second)
            return "NIC " + n.ifname + " named twice";
        auto [it, fresh] = styles.emplace(n.driver, n.style);
        if (!fresh && it->second != n.style)
            return "NICs of driver " + n.driver + " disagree on the style";
        if (!n.mac_set)
            n.mac = {0x02,
                     0x00,
                     0x00,
                     0x00,
                     static_cast<std::uint8_t>(index),
                     static_cast<std::uint8_t>(n.ppa)};
        if (n.backend == "tap" && !n.params.count("tap"))
            n.params["tap"] = n.ifname;
        if (n.backend == "pcap" && !n.params.count("file"))
            return n.ifname + ": backend pcap needs file=PATH";
        if (n.backend == "wire" && !n.params.count("peer"))
            return n.ifname + ": backend wire needs peer=IFNAME";
    }
    for (const NicSpec &n : opts->nics) {
        if (n.backend != "wire")
            continue;
        const std::string &peer = n.params.at("peer");
        const NicSpec *p = nullptr;
        for (const NicSpec &m : opts->nics)
            if (m.ifname == peer)
                p = &m;
        if (!p || p == &n || p->backend != "wire" || p->params.count("peer") == 0 ||
            p->params.at("peer") != n.ifname)
            return n.ifname + ": wire peer " + peer + " must be a wire NIC whose peer is " +
                   n.ifname;
    }
    return "";
}

std::string resolve_root(const std::string &explicit_root)
{
    if (!explicit_root.empty())
        return explicit_root;
    if (const char *r = std::getenv("NVX_ROOT"); r && *r)
        return r;
    return "/tmp/nvx-" + std::to_string(::geteuid());
}

const char *usage_text()
{
    return R"(usage: streamhost [--root DIR] [--config FILE] [--nic DESC]... [--module-path DIR]...
                  [--modload FILE]... [--plumb IF]... [--bridge IF,IF]... [--echo-console]
       streamhost [--root DIR] ctl COMMAND [ARG...]
       streamhost --help

streamhost runs the emulated STREAMS kernel in one process. Every open of one of its devices
by a program using the platform's user calls (platform/user/nvx_user.h) is one connection to
its socket; the connection is the stream, served in its own thread with the caller's pid and
credentials. Closing the connection, or the exit of the process, closes the stream.

Root directory (owner-only, mode 0700): DIR from --root, else $NVX_ROOT, else /tmp/nvx-<uid>.
  DIR/streamhost.sock     the socket (mode 0600)
  DIR/console.log         the kernel console
  DIR/etc/name_to_major   the driver name to major number table, kept up to date

Options:
  --root DIR          root directory (see above)
  --config FILE       read a configuration file: one item per line, '#' starts a comment:
                        nic DESC              module-path DIR       modload FILE
                        plumb IF              bridge IF IF
  --nic DESC          add a NIC. DESC is NAME[,ITEM...] with NAME = <driver><ppa> (hme0);
                      NICs of one driver share its device ("/dev/hme" style 2, "/dev/hme0"
                      style 1). Items:
                        style=1|2             DLPI provider style (default 2)
                        mac=02:00:00:00:00:01 station address (default 02:00:00:00:<n>:<ppa>)
                        mtu=N                 68..9000 (default 1500)
                        promisc               also take frames addressed to other stations
                        backend=KIND          sink (default), generator, pcap, wire, tap
                      Backend items:
                        tap:        tap=LINUXIF  TAP device to create or attach (default NAME)
                        pcap:       file=PATH [loops=N] [rate=FPS] [frames=N]
                        generator:  [seed=N] [ip=A.B.C.D] [rate=FPS] [frames=N]
                        wire:       peer=NAME    the NIC at the other end (also a wire NIC)
  --module-path DIR   directory of kernel objects (<name>.so) loaded on demand when a device
                      or module of that name is needed (repeatable)
  --modload FILE      load a kernel object at start
  --plumb IF          plumb ip and arp streams on an interface at start
  --bridge IF,IF      bridge two plumbed interfaces (ip and arp traffic both ways)
  --echo-console      copy the console to standard error
  --help              this text

Admin commands (streamhost ctl COMMAND, over the host's socket):
  modload FILE        load a kernel object (its _init runs); prints the module name
  modunload NAME      unload a module (its _fini runs; refused with EBUSY while in use)
  modules             loaded kernel objects
  plumb IF            open ip and arp streams on the interface (autopush applies) and bind
  unplumb IF          unbind and close them
  bridge IF IF        forward every frame the ip/arp streams of one receive out of the other
  unbridge IF         stop forwarding from and to IF
  interfaces          NICs, their backends and counters, plumbed streams with their modules
  streams             open streams: connection, pid, uid, device, modules
  console             the console log
  stats               message blocks, kmem and umem live, connections, threads
  stop                close every stream and stop the host

Exit status: 0 success, 1 the host refused or failed, 2 usage error or no host running.
Stop with 'streamhost ctl stop', SIGINT or SIGTERM.
)";
}

} // namespace platform::host
