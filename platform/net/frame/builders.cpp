#include "frame/builders.h"

#include <cstring>

namespace platform::net
{

std::uint32_t inet_sum(const std::uint8_t *data, std::size_t len, std::uint32_t acc)
{
    std::size_t i = 0;
    for (; i + 1 < len; i += 2)
        acc += get_be16(data + i);
    if (i < len)
        acc += std::uint32_t{data[i]} << 8;
    return acc;
}

std::uint16_t inet_checksum_fold(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xffff);
}

namespace
{

std::uint32_t pseudo_header_sum(const std::uint8_t *ip, std::uint16_t l4_len)
{
    std::uint32_t sum = inet_sum(ip + 12, 8); // source and destination addresses
    sum += ip[9];                             // protocol
    sum += l4_len;
    return sum;
}

// Lays out the link header and a 20-byte IPv4 header for l4_len bytes of transport data, and
// returns the offset of the transport header.
std::size_t start_ipv4(std::vector<std::uint8_t> &out, const LinkAddrs &l2, const Ipv4Addrs &ip,
                       std::uint8_t proto, std::size_t l4_len)
{
    std::size_t ip_len = kIpv4HeaderLen + l4_len;
    std::size_t frame_len = kEtherHeaderLen + ip_len;
    out.assign(frame_len < kEtherMinFrame ? kEtherMinFrame : frame_len, 0);
    std::uint8_t *p = out.data();
    std::memcpy(p, l2.dst.data(), kEtherAddrLen);
    std::memcpy(p + 6, l2.src.data(), kEtherAddrLen);
    put_be16(p + kEtherTypeOffset, kEtherTypeIpv4);
    std::uint8_t *h = p + kEtherHeaderLen;
    h[0] = 0x45;
    put_be16(h + 2, static_cast<std::uint16_t>(ip_len));
    put_be16(h + 4, ip.id);
    put_be16(h + 6, 0x4000); // don't fragment
    h[8] = ip.ttl;
    h[9] = proto;
    put_be32(h + 12, ip.src);
    put_be32(h + 16, ip.dst);
    put_be16(h + 10, inet_checksum_fold(inet_sum(h, kIpv4HeaderLen)));
    return kEtherHeaderLen + kIpv4HeaderLen;
}

} // namespace

std::uint16_t ipv4_l4_verify(const std::uint8_t *ip)
{
    std::size_t ihl = static_cast<std::size_t>(ip[0] & 0x0f) * 4;
    std::uint16_t total = get_be16(ip + 2);
    std::uint16_t l4_len = static_cast<std::uint16_t>(total - ihl);
    return inet_checksum_fold(inet_sum(ip + ihl, l4_len, pseudo_header_sum(ip, l4_len)));
}

void build_tcp_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, const Ipv4Addrs &ip,
                     const TcpSegment &tcp, std::span<const std::uint8_t> payload)
{
    std::size_t l4_len = kTcpHeaderLen + payload.size();
    std::size_t off = start_ipv4(out, l2, ip, kIpProtoTcp, l4_len);
    std::uint8_t *t = out.data() + off;
    put_be16(t, tcp.sport);
    put_be16(t + 2, tcp.dport);
    put_be32(t + 4, tcp.seq);
    put_be32(t + 8, tcp.ack);
    t[12] = static_cast<std::uint8_t>((kTcpHeaderLen / 4) << 4);
    t[13] = tcp.flags;
    put_be16(t + 14, tcp.window);
    if (!payload.empty())
        std::memcpy(t + kTcpHeaderLen, payload.data(), payload.size());
    const std::uint8_t *h = out.data() + kEtherHeaderLen;
    std::uint32_t sum = pseudo_header_sum(h, static_cast<std::uint16_t>(l4_len));
    put_be16(t + 16, inet_checksum_fold(inet_sum(t, l4_len, sum)));
}

void build_udp_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, const Ipv4Addrs &ip,
                     std::uint16_t sport, std::uint16_t dport,
                     std::span<const std::uint8_t> payload)
{
    std::size_t l4_len = kUdpHeaderLen + payload.size();
    std::size_t off = start_ipv4(out, l2, ip, kIpProtoUdp, l4_len);
    std::uint8_t *u = out.data() + off;
    put_be16(u, sport);
    put_be16(u + 2, dport);
    put_be16(u + 4, static_cast<std::uint16_t>(l4_len));
    if (!payload.empty())
        std::memcpy(u + kUdpHeaderLen, payload.data(), payload.size());
    const std::uint8_t *h = out.data() + kEtherHeaderLen;
    std::uint32_t sum = pseudo_header_sum(h, static_cast<std::uint16_t>(l4_len));
    std::uint16_t ck = inet_checksum_fold(inet_sum(u, l4_len, sum));
    put_be16(u + 6, ck == 0 ? 0xffff : ck); // 0 would mean "no checksum"
}

void build_icmp_echo_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, const Ipv4Addrs &ip,
                           std::uint8_t type, std::uint16_t ident, std::uint16_t seq,
                           std::span<const std::uint8_t> payload)
{
    std::size_t l4_len = kIcmpEchoHeaderLen + payload.size();
    std::size_t off = start_ipv4(out, l2, ip, kIpProtoIcmp, l4_len);
    std::uint8_t *c = out.data() + off;
    c[0] = type;
    put_be16(c + 4, ident);
    put_be16(c + 6, seq);
    if (!payload.empty())
        std::memcpy(c + kIcmpEchoHeaderLen, payload.data(), payload.size());
    put_be16(c + 2, inet_checksum_fold(inet_sum(c, l4_len)));
}

void build_arp_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, std::uint16_t op,
                     const MacAddr &sha, std::uint32_t spa, const MacAddr &tha, std::uint32_t tpa)
{
    out.assign(kEtherMinFrame, 0);
    std::uint8_t *p = out.data();
    std::memcpy(p, l2.dst.data(), kEtherAddrLen);
    std::memcpy(p + 6, l2.src.data(), kEtherAddrLen);
    put_be16(p + kEtherTypeOffset, kEtherTypeArp);
    std::uint8_t *a = p + kEtherHeaderLen;
    put_be16(a, 1); // hardware: Ethernet
    put_be16(a + 2, kEtherTypeIpv4);
    a[4] = 6;
    a[5] = 4;
    put_be16(a + 6, op);
    std::memcpy(a + 8, sha.data(), kEtherAddrLen);
    put_be32(a + 14, spa);
    std::memcpy(a + 18, tha.data(), kEtherAddrLen);
    put_be32(a + 24, tpa);
}

MacAddr ipv4_multicast_mac(std::uint32_t group)
{
    return MacAddr{0x01,
                   0x00,
                   0x5e,
                   static_cast<std::uint8_t>((group >> 16) & 0x7f),
                   static_cast<std::uint8_t>(group >> 8),
                   static_cast<std::uint8_t>(group)};
}

} // namespace platform::net
