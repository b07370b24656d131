#include "nics.h"

#include "backends/generator.h"
#include "backends/pcap_replay.h"
#include "backends/sink.h"
#include "backends/tap.h"
#include "backends/wire.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace platform::host
{

namespace net = platform::net;

namespace
{

std::uint64_t number(const NicSpec &n, const char *key, std::uint64_t dflt)
{
    auto it = n.params.find(key);
    return it == n.params.end() ? dflt : std::strtoull(it->second.c_str(), nullptr, 10);
}

net::Pacing pacing_of(const NicSpec &n)
{
    net::Pacing p;
    p.max_frames = number(n, "frames", 0);
    p.frames_per_second = number(n, "rate", 0);
    return p;
}

} // namespace

std::string load_nics(const std::vector<NicSpec> &nics,
                      std::vector<std::unique_ptr<net::NicDriver>> *out)
{
    // Wire ends are made in pairs, when the first of the two is met.
    std::map<std::string, net::BackendPtr> wire_ends;
    std::map<std::string, net::NicDriverConfig> configs; // by driver name, in name order
    std::vector<std::string> order;
    for (const NicSpec &n : nics) {
        net::BackendPtr backend;
        std::string error;
        if (n.backend == "sink") {
            backend = net::make_sink_backend(false);
        } else if (n.backend == "tap") {
            backend = net::make_tap_backend(net::TapConfig{n.params.at("tap")}, &error);
        } else if (n.backend == "pcap") {
            net::PcapReplayConfig pc;
            pc.path = n.params.at("file");
            pc.pacing = pacing_of(n);
            pc.loops = static_cast<unsigned>(number(n, "loops", 1));
            backend = net::make_pcap_replay_backend(pc, nullptr, &error);
        } else if (n.backend == "generator") {
            net::GeneratorConfig gc;
            gc.seed = number(n, "seed", 1);
            gc.station_mac = n.mac;
            gc.mtu = n.mtu;
            if (auto it = n.params.find("ip"); it != n.params.end()) {
                auto ip = net::parse_ipv4(it->second);
                if (!ip)
                    return n.ifname + ": bad ip '" + it->second + "'";
                gc.station_ip = *ip;
            }
            gc.pacing = pacing_of(n);
            backend = net::make_generator_backend(gc);
        } else if (n.backend == "wire") {
            const std::string &peer = n.params.at("peer");
            if (auto it = wire_ends.find(n.ifname); it != wire_ends.end()) {
                backend = std::move(it->second);
                wire_ends.erase(it);
            } else {
                auto ends = net::make_wire();
                backend = std::move(ends.first);
                wire_ends[peer] = std::move(ends.second);
            }
        }
        if (!backend)
            return error.empty() ? n.ifname + ": backend " + n.backend + " failed" : error;
        auto [it, fresh] = configs.try_emplace(n.driver);
        if (fresh) {
            it->second.name = n.driver;
            it->second.style = n.style;
            order.push_back(n.driver);
        }
        net::NicInstanceConfig ic;
        ic.ppa = n.ppa;
        ic.mac = n.mac;
        ic.mtu = n.mtu;
        ic.promiscuous = n.promiscuous;
        ic.backend = std::move(backend);
        it->second.instances.push_back(std::move(ic));
    }
    for (const std::string &name : order) {
        std::unique_ptr<net::NicDriver> drv;
        if (int err = net::NicDriver::load(std::move(configs[name]), &drv))
            return "NIC driver " + name + ": " + std::strerror(err);
        out->push_back(std::move(drv));
    }
    return "";
}

} // namespace platform::host
