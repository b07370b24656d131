// The host's admin commands (streamhost ctl ...). Each runs in the admin connection's thread
// with admin_m_ held, so commands never interleave.
#include "host.h"

#include "connection.h"

#include "accounting.h"
#include "backends/tap.h"
#include "console_log.h"
#include "modules.h"

#include <sys/sunddi.h>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sstream>
#include <sys/modctl.h>
#include <unistd.h>

namespace platform::host
{

namespace net = platform::net;

namespace
{

std::string failed(const std::string &what, int err)
{
    return what + ": " + std::strerror(err) + "\n";
}

std::size_t count_entries(const char *dir)
{
    std::size_t n = 0;
    if (DIR *d = ::opendir(dir)) {
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

std::string modules_of(net::PlumbedInterface &p)
{
    std::vector<std::string> names;
    p.file().list(&names);
    std::string s;
    for (const auto &n : names)
        s += (s.empty() ? "" : ",") + n;
    return s;
}

} // namespace

int Host::plumb_locked(const std::string &ifname, std::string *out)
{
    if (plumbed_.count(ifname)) {
        *out = ifname + ": already plumbed\n";
        return EEXIST;
    }
    Plumbed p;
    for (const char *module : {"ip", "arp"}) {
        net::PlumbConfig cfg;
        cfg.ifname = ifname;
        cfg.module = module;
        cfg.caller.pid = ::getpid();
        cfg.caller.uid = 0;
        cfg.caller.gid = 0;
        auto &slot = std::string(module) == "ip" ? p.ip : p.arp;
        if (int err = net::PlumbedInterface::plumb(cfg, &slot)) {
            *out = failed("plumb " + ifname + " " + module, err);
            return err;
        }
    }
    plumbed_[ifname] = std::move(p);
    tables_changed();
    *out = ifname + ": plumbed ip and arp\n";
    return 0;
}

void Host::unbridge_locked(const std::string &ifname)
{
    auto it = plumbed_.find(ifname);
    if (it == plumbed_.end() || it->second.bridged_to.empty())
        return;
    auto peer = plumbed_.find(it->second.bridged_to);
    for (auto *p : {&it->second, peer == plumbed_.end() ? nullptr : &peer->second}) {
        if (!p)
            continue;
        p->ip->bridge_to(nullptr);
        p->arp->bridge_to(nullptr);
        p->bridged_to.clear();
    }
}

int Host::unplumb_locked(const std::string &ifname, std::string *out)
{
    auto it = plumbed_.find(ifname);
    if (it == plumbed_.end()) {
        *out = ifname + ": not plumbed\n";
        return ENXIO;
    }
    unbridge_locked(ifname);
    int err = it->second.ip->unplumb();
    int err2 = it->second.arp->unplumb();
    plumbed_.erase(it);
    *out = ifname + ": unplumbed\n";
    return err ? err : err2;
}

int Host::bridge_locked(const std::string &a, const std::string &b, std::string *out)
{
    auto pa = plumbed_.find(a), pb = plumbed_.find(b);
    if (a == b || pa == plumbed_.end() || pb == plumbed_.end()) {
        *out = "bridge " + a + " " + b + ": both must be plumbed, and differ\n";
        return EINVAL;
    }
    unbridge_locked(a);
    unbridge_locked(b);
    pa->second.ip->bridge_to(pb->second.ip.get());
    pb->second.ip->bridge_to(pa->second.ip.get());
    pa->second.arp->bridge_to(pb->second.arp.get());
    pb->second.arp->bridge_to(pa->second.arp.get());
    pa->second.bridged_to = b;
    pb->second.bridged_to = a;
    *out = "bridged " + a + " and " + b + "\n";
    return 0;
}

std::string Host::interfaces_text_locked()
{
    std::ostringstream o;
    for (auto &drv : drivers_) {
        for (unsigned ppa = 0; ppa < 1000; ++ppa) {
            net::Nic *nic = drv->instance(ppa);
            if (!nic)
                continue;
            const net::NicCounters &c = nic->counters();
            auto ld = [](const std::atomic<std::uint64_t> &v) {
                return v.load(std::memory_order_relaxed);
            };
            o << nic->ifname() << ": driver " << drv->name() << " style " << drv->style() << " mac "
              << net::format_mac(nic->mac()) << " mtu " << nic->mtu() << " backend "
              << nic->backend().name();
            if (std::string tap = net::tap_ifname(nic->backend()); !tap.empty())
                o << " (" << tap << ")";
            o << "\n  rx_frames " << ld(c.rx_frames) << " rx_bytes " << ld(c.rx_bytes)
              << " rx_nomem " << ld(c.rx_nomem) << " rx_unbound " << ld(c.rx_unbound)
              << " rx_not_mine " << ld(c.rx_not_mine) << " rx_bad_length " << ld(c.rx_bad_length)
              << "\n  tx_frames " << ld(c.tx_frames) << " tx_bytes " << ld(c.tx_bytes)
              << " tx_errors " << ld(c.tx_errors) << " stack_unsent " << ld(c.stack_unsent) << "\n";
            if (const net::TapCounters *t = net::tap_counters(nic->backend()))
                o << "  tap rx_frames " << ld(t->rx_frames) << " tx_frames " << ld(t->tx_frames)
                  << " tx_dropped " << ld(t->tx_dropped) << "\n";
            auto it = plumbed_.find(nic->ifname());
            if (it == plumbed_.end())
                continue;
            for (auto *p : {it->second.ip.get(), it->second.arp.get()}) {
                net::UpperLink &l = p->link();
                o << "  stream " << modules_of(*p) << ": rx_frames " << ld(l.rx_frames)
                  << " tx_frames " << ld(l.tx_frames) << " tx_dropped " << ld(l.tx_dropped)
                  << " bridged " << ld(l.bridged) << "\n";
            }
            if (!it->second.bridged_to.empty())
                o << "  bridged to " << it->second.bridged_to << "\n";
        }
    }
    return o.str();
}

std::string Host::streams_text()
{
    std::vector<std::shared_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> g(conns_m_);
        for (const auto &c : conns_)
            conns.push_back(c);
    }
    std::ostringstream o;
    for (const auto &c : conns) {
        Connection *conn = c.get();
        if (!conn || conn->finished())
            continue;
        Connection::Info in = conn->info();
        o << "connection " << in.id << " pid " << in.pid << " uid " << in.uid;
        if (in.admin) {
            o << " admin\n";
            continue;
        }
        if (in.path.empty()) {
            o << " (not open)\n";
            continue;
        }
        o << " " << in.path << " dev " << getmajor(in.dev) << "," << getminor(in.dev)
          << " modules ";
        std::string mods;
        for (const auto &m : in.modules)
            mods += (mods.empty() ? "" : ",") + m;
        o << mods << "\n";
    }
    return o.str();
}

std::string Host::stats_text()
{
    platform::accounting::Counts c = platform::accounting::counts();
    std::size_t conns;
    {
        std::lock_guard<std::mutex> g(conns_m_);
        conns = conns_.size();
    }
    std::ostringstream o;
    o << "msg_allocated " << c.msg_allocated << "\nmsg_freed " << c.msg_freed
      << "\nmsg_outstanding " << c.msg_outstanding() << "\nkmem_live " << c.kmem_live
      << "\nkmem_live_bytes " << c.kmem_live_bytes << "\numem_live " << c.umem_live
      << "\numem_live_bytes " << c.umem_live_bytes << "\nconnections " << conns << "\nthreads "
      << count_entries("/proc/self/task") << "\nfds " << count_entries("/proc/self/fd") << "\n";
    return o.str();
}

int Host::admin(const std::vector<std::string> &args, std::string *out, bool *stop)
{
    *stop = false;
    const std::string &cmd = args[0];
    size_t n = args.size();
    std::lock_guard<std::mutex> g(admin_m_);
    int err = 0;
    if (cmd == "modload" && n == 2) {
        std::string name;
        err = platform::modules::load(args[1], &name);
        if (err) {
            *out = failed("modload " + args[1], err);
        } else {
            std::lock_guard<std::mutex> lg(loaded_m_);
            loaded_.push_back(name);
            *out = name + "\n";
        }
    } else if (cmd == "modunload" && n == 2) {
        err = platform::modules::unload(args[1]);
        if (err) {
            *out = failed("modunload " + args[1], err);
        } else {
            std::lock_guard<std::mutex> lg(loaded_m_);
            std::erase(loaded_, args[1]);
            *out = "unloaded " + args[1] + "\n";
        }
    } else if (cmd == "modules" && n == 1) {
        for (const auto &name : platform::modules::loaded_names()) {
            struct modinfo mi {
            };
            *out += name;
            if (platform::modules::info(name, &mi))
                for (int i = 0; i < MODMAXLINK && mi.mi_msinfo[i].msi_linkinfo[0]; ++i)
                    *out += std::string(" \"") + mi.mi_msinfo[i].msi_linkinfo + "\"";
            *out += "\n";
        }
    } else if (cmd == "plumb" && n == 2) {
        err = plumb_locked(args[1], out);
    } else if (cmd == "unplumb" && n == 2) {
        err = unplumb_locked(args[1], out);
    } else if (cmd == "bridge" && n == 3) {
        err = bridge_locked(args[1], args[2], out);
    } else if (cmd == "unbridge" && n == 2) {
        unbridge_locked(args[1]);
        *out = "unbridged " + args[1] + "\n";
    } else if ((cmd == "interfaces" || cmd == "ifconfig") && n == 1) {
        *out = interfaces_text_locked();
    } else if (cmd == "streams" && n == 1) {
        *out = streams_text();
    } else if (cmd == "console" && n == 1) {
        *out = platform::console::peek();
    } else if (cmd == "stats" && n == 1) {
        *out = stats_text();
    } else if (cmd == "stop" && n == 1) {
        *out = "stopping\n";
        *stop = true;
    } else {
        *out = "unknown command or wrong arguments: " + cmd + " (see streamhost --help)\n";
        err = EINVAL;
    }
    tables_changed();
    return err;
}

} // namespace platform::host
