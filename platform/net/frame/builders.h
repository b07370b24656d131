/*
 * Builders of well-formed Ethernet II frames: IPv4 with TCP, UDP or ICMP echo, and ARP. Each
 * builder replaces the contents of the caller's buffer (its capacity is reused, so a generator
 * that builds frame after frame allocates only while the largest frame grows). IP header and
 * TCP/UDP/ICMP checksums are filled in; frames shorter than the Ethernet minimum (60 bytes
 * without FCS) are padded with zeros that the checksums do not cover.
 */
#ifndef NVX_NET_FRAME_BUILDERS_H
#define NVX_NET_FRAME_BUILDERS_H

#include "frame/ether.h"

#include <cstdint>
#include <span>
#include <vector>

namespace platform::net
{

constexpr std::uint8_t kIpProtoIcmp = 1;
constexpr std::uint8_t kIpProtoTcp = 6;
constexpr std::uint8_t kIpProtoUdp = 17;

constexpr std::uint8_t kTcpFin = 0x01;
constexpr std::uint8_t kTcpSyn = 0x02;
constexpr std::uint8_t kTcpRst = 0x04;
constexpr std::uint8_t kTcpPsh = 0x08;
constexpr std::uint8_t kTcpAck = 0x10;

constexpr std::size_t kIpv4HeaderLen = 20; // no options
constexpr std::size_t kTcpHeaderLen = 20;  // no options
constexpr std::size_t kUdpHeaderLen = 8;
constexpr std::size_t kIcmpEchoHeaderLen = 8;
constexpr std::size_t kArpPayloadLen = 28;

struct LinkAddrs {
    MacAddr dst;
    MacAddr src;
};

struct Ipv4Addrs {
    std::uint32_t src;
    std::uint32_t dst;
    std::uint16_t id = 0;
    std::uint8_t ttl = 64;
};

struct TcpSegment {
    std::uint16_t sport;
    std::uint16_t dport;
    std::uint32_t seq;
    std::uint32_t ack;
    std::uint8_t flags;
    std::uint16_t window = 65535;
};

// The one's-complement sum of the 16-bit big-endian words of data, added to acc (not folded).
std::uint32_t inet_sum(const std::uint8_t *data, std::size_t len, std::uint32_t acc = 0);
// Folds a sum to 16 bits and complements it: the checksum to store.
std::uint16_t inet_checksum_fold(std::uint32_t sum);
// The TCP or UDP checksum of the IPv4 packet at ip (header included; its total length field
// bounds the segment), computed over the pseudo header and the segment with the segment's
// checksum field taken as it is: 0 when the stored checksum is right.
std::uint16_t ipv4_l4_verify(const std::uint8_t *ip);

void build_tcp_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, const Ipv4Addrs &ip,
                     const TcpSegment &tcp, std::span<const std::uint8_t> payload);
void build_udp_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, const Ipv4Addrs &ip,
                     std::uint16_t sport, std::uint16_t dport,
                     std::span<const std::uint8_t> payload);
// type 8 echo request, 0 echo reply.
void build_icmp_echo_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, const Ipv4Addrs &ip,
                           std::uint8_t type, std::uint16_t ident, std::uint16_t seq,
                           std::span<const std::uint8_t> payload);
// op 1 request, 2 reply.
void build_arp_frame(std::vector<std::uint8_t> &out, const LinkAddrs &l2, std::uint16_t op,
                     const MacAddr &sha, std::uint32_t spa, const MacAddr &tha, std::uint32_t tpa);

// The Ethernet multicast address of an IPv4 group address (01:00:5e + low 23 bits).
MacAddr ipv4_multicast_mac(std::uint32_t group);

} // namespace platform::net

#endif
