/*
 * Generator backend: a FrameGenerator run by a SourceRunner thread (interrupt context).
 */
#include "backends/generator.h"

#include "frame/builders.h"

#include <algorithm>

namespace platform::net
{

FrameGenerator::FrameGenerator(const GeneratorConfig &cfg)
    : cfg_(cfg), state_(cfg.seed ^ 0x9e3779b97f4a7c15ull)
{
    if (cfg_.peers == 0)
        cfg_.peers = 1;
    if (cfg_.conversations == 0)
        cfg_.conversations = 1;
    std::size_t cap =
        cfg_.mtu > kIpv4HeaderLen + kTcpHeaderLen ? cfg_.mtu - kIpv4HeaderLen - kTcpHeaderLen : 0;
    max_payload_ = std::min(cfg_.max_payload, cap);
    if (cfg_.min_payload > max_payload_)
        cfg_.min_payload = max_payload_;
    conv_.resize(cfg_.conversations);
    for (auto &c : conv_)
        new_conversation(c);
}

// splitmix64: small, fast and the same on every platform and word size.
std::uint64_t FrameGenerator::rand64()
{
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

MacAddr FrameGenerator::peer_mac(unsigned peer) const
{
    return MacAddr{0x02,
                   0x00,
                   0x00,
                   0x01,
                   static_cast<std::uint8_t>(peer >> 8),
                   static_cast<std::uint8_t>(peer + 1)};
}

std::uint32_t FrameGenerator::peer_ip(unsigned peer) const
{
    return ipv4(198, 18, 1 + ((peer + 1) >> 8), (peer + 1) & 0xff);
}

void FrameGenerator::new_conversation(Conversation &c)
{
    c.station_is_client = below(2) == 0;
    c.peer = below(cfg_.peers);
    c.client_port = next_port_++;
    if (next_port_ < 40000)
        next_port_ = 40000;
    static const std::uint16_t services[] = {80, 443, 22, 25, 8080};
    c.server_port = services[below(5)];
    c.client_seq = static_cast<std::uint32_t>(rand64());
    c.server_seq = static_cast<std::uint32_t>(rand64());
    c.phase = 0;
    c.data_left = 2 + below(8);
}

void FrameGenerator::payload(std::size_t max_len)
{
    std::size_t lo = std::min(cfg_.min_payload, max_len);
    std::size_t len = lo + (max_len > lo ? rand64() % (max_len - lo + 1) : 0);
    payload_.resize(len);
    for (std::size_t i = 0; i < len; i++)
        payload_[i] = static_cast<std::uint8_t>('a' + (i + len) % 26);
}

void FrameGenerator::addresses(unsigned peer, bool station_sends, LinkAddrs &l2,
                               Ipv4Addrs &ip) const
{
    if (station_sends) {
        l2 = {peer_mac(peer), cfg_.station_mac};
        ip.src = cfg_.station_ip;
        ip.dst = peer_ip(peer);
    } else {
        l2 = {cfg_.station_mac, peer_mac(peer)};
        ip.src = peer_ip(peer);
        ip.dst = cfg_.station_ip;
    }
}

bool FrameGenerator::tcp_frame(std::vector<std::uint8_t> &out, bool &outbound)
{
    Conversation &c = conv_[below(static_cast<unsigned>(conv_.size()))];
    // Who sends this segment: the client in phases 0, 2 and 4 (FIN), the server in 1 and 5;
    // data (phase 3) goes either way.
    bool from_client;
    std::uint8_t flags;
    std::size_t len = 0;
    switch (c.phase) {
    case 0:
        from_client = true;
        flags = kTcpSyn;
        break;
    case 1:
        from_client = false;
        flags = kTcpSyn | kTcpAck;
        break;
    case 2:
        from_client = true;
        flags = kTcpAck;
        break;
    case 3:
        from_client = below(2) == 0;
        flags = kTcpAck | kTcpPsh;
        payload(max_payload_);
        len = payload_.size();
        break;
    case 4:
        from_client = true;
        flags = kTcpFin | kTcpAck;
        break;
    case 5:
        from_client = false;
        flags = kTcpFin | kTcpAck;
        break;
    default:
        from_client = true;
        flags = kTcpAck;
        break;
    }
    std::uint32_t &my_seq = from_client ? c.client_seq : c.server_seq;
    std::uint32_t peer_next = from_client ? c.server_seq : c.client_seq;
    TcpSegment seg{};
    seg.sport = from_client ? c.client_port : c.server_port;
    seg.dport = from_client ? c.server_port : c.client_port;
    seg.seq = my_seq;
    seg.ack = c.phase == 0 ? 0 : peer_next;
    seg.flags = flags;
    seg.window = static_cast<std::uint16_t>(8192 + below(57344));
    bool station_sends = from_client == c.station_is_client;
    LinkAddrs l2{};
    Ipv4Addrs ip{};
    ip.id = ip_id_++;
    addresses(c.peer, station_sends, l2, ip);
    build_tcp_frame(out, l2, ip, seg,
                    std::span<const std::uint8_t>(payload_.data(), c.phase == 3 ? len : 0));
    // SYN and FIN take one sequence number, data its length.
    my_seq += static_cast<std::uint32_t>(len) + ((flags & (kTcpSyn | kTcpFin)) ? 1 : 0);
    if (c.phase == 3) {
        if (--c.data_left == 0)
            c.phase = 4;
    } else if (c.phase == 6) {
        new_conversation(c);
    } else {
        c.phase++;
    }
    outbound = station_sends;
    return !(station_sends && cfg_.inbound_only);
}

void FrameGenerator::udp_frame(std::vector<std::uint8_t> &out, bool &outbound)
{
    unsigned peer = below(cfg_.peers);
    outbound = !cfg_.inbound_only && below(2) == 0;
    payload(std::min<std::size_t>(max_payload_, 512));
    Ipv4Addrs ip{};
    ip.id = ip_id_++;
    LinkAddrs l2{};
    addresses(peer, outbound, l2, ip);
    build_udp_frame(out, l2, ip, static_cast<std::uint16_t>(50000 + below(1000)), 53, payload_);
}

void FrameGenerator::icmp_frame(std::vector<std::uint8_t> &out, bool &outbound)
{
    unsigned peer = below(cfg_.peers);
    outbound = !cfg_.inbound_only && below(2) == 0;
    payload(56);
    Ipv4Addrs ip{};
    ip.id = ip_id_++;
    LinkAddrs l2{};
    addresses(peer, outbound, l2, ip);
    build_icmp_echo_frame(out, l2, ip, below(2) ? 8 : 0, 0x4242, icmp_seq_++, payload_);
}

void FrameGenerator::arp_frame(std::vector<std::uint8_t> &out, bool &outbound)
{
    unsigned peer = below(cfg_.peers);
    bool request = below(2) == 0;
    outbound = !cfg_.inbound_only && below(2) == 0;
    MacAddr me = cfg_.station_mac, them = peer_mac(peer);
    std::uint32_t my_ip = cfg_.station_ip, their_ip = peer_ip(peer);
    if (outbound) {
        if (request)
            build_arp_frame(out, {kBroadcastMac, me}, 1, me, my_ip, MacAddr{}, their_ip);
        else
            build_arp_frame(out, {them, me}, 2, me, my_ip, them, their_ip);
    } else {
        if (request)
            build_arp_frame(out, {kBroadcastMac, them}, 1, them, their_ip, MacAddr{}, my_ip);
        else
            build_arp_frame(out, {me, them}, 2, them, their_ip, me, my_ip);
    }
}

void FrameGenerator::broadcast_frame(std::vector<std::uint8_t> &out)
{
    unsigned peer = below(cfg_.peers);
    payload(std::min<std::size_t>(max_payload_, 300));
    Ipv4Addrs ip{peer_ip(peer), ipv4(255, 255, 255, 255), ip_id_++, 64};
    build_udp_frame(out, {kBroadcastMac, peer_mac(peer)}, ip, 68, 67, payload_);
}

void FrameGenerator::multicast_frame(std::vector<std::uint8_t> &out)
{
    unsigned peer = below(cfg_.peers);
    payload(std::min<std::size_t>(max_payload_, 300));
    std::uint32_t group = ipv4(224, 0, 0, 251);
    Ipv4Addrs ip{peer_ip(peer), group, ip_id_++, 1};
    build_udp_frame(out, {ipv4_multicast_mac(group), peer_mac(peer)}, ip, 5353, 5353, payload_);
}

void FrameGenerator::other_station_frame(std::vector<std::uint8_t> &out)
{
    unsigned peer = below(cfg_.peers);
    MacAddr other{0x02, 0x00, 0x00, 0x02, 0x00, static_cast<std::uint8_t>(1 + below(200))};
    payload(std::min<std::size_t>(max_payload_, 200));
    Ipv4Addrs ip{peer_ip(peer), ipv4(198, 18, 2, other[5]), ip_id_++, 64};
    build_udp_frame(out, {other, peer_mac(peer)}, ip, 40000, 9, payload_);
}

void FrameGenerator::next(std::vector<std::uint8_t> &out, bool &outbound)
{
    const GeneratorMix &m = cfg_.mix;
    unsigned total = m.tcp + m.udp + m.icmp + m.arp + m.broadcast + m.multicast + m.other_station;
    const bool tcp_only = total == 0; // degenerate mix
    for (;;) {
        outbound = false;
        unsigned pick = tcp_only ? 0 : below(total);
        if (tcp_only || pick < m.tcp) {
            if (tcp_frame(out, outbound))
                return;
            continue; // an outbound segment suppressed by inbound_only
        }
        pick -= m.tcp;
        if (pick < m.udp)
            return udp_frame(out, outbound);
        pick -= m.udp;
        if (pick < m.icmp)
            return icmp_frame(out, outbound);
        pick -= m.icmp;
        if (pick < m.arp)
            return arp_frame(out, outbound);
        pick -= m.arp;
        if (pick < m.broadcast)
            return broadcast_frame(out);
        pick -= m.broadcast;
        if (pick < m.multicast)
            return multicast_frame(out);
        return other_station_frame(out);
    }
}

namespace
{

struct GeneratorBackend {
    FrameGenerator gen;
    SourceRunner runner;

    GeneratorBackend(const GeneratorConfig &cfg, FrameSink *tx_sink)
        : gen(cfg), runner(
                        cfg.pacing,
                        [this](std::vector<std::uint8_t> &f, bool &out) {
                            gen.next(f, out);
                            return true;
                        },
                        tx_sink)
    {
    }
};

int gen_start(void *priv, NicPort *port)
{
    return static_cast<GeneratorBackend *>(priv)->runner.start(port);
}
void gen_stop(void *priv)
{
    static_cast<GeneratorBackend *>(priv)->runner.stop();
}
void gen_transmit(void *priv, const std::uint8_t *frame, std::size_t len)
{
    static_cast<GeneratorBackend *>(priv)->runner.transmit(frame, len);
}
void gen_destroy(void *priv)
{
    delete static_cast<GeneratorBackend *>(priv);
}

const BackendOps generator_ops = {
    "generator",  // name
    gen_start,    // start
    gen_stop,     // stop
    gen_transmit, // transmit
    gen_destroy,  // destroy
};

} // namespace

BackendPtr make_generator_backend(const GeneratorConfig &cfg, FrameSink *tx_sink)
{
    return std::make_unique<Backend>(&generator_ops, new GeneratorBackend(cfg, tx_sink));
}

SourceRunner *generator_runner(Backend &b)
{
    return b.ops() == &generator_ops ? &static_cast<GeneratorBackend *>(b.priv())->runner : nullptr;
}

} // namespace platform::net
