/*
 * Ethernet II geometry and the byte-order helpers the NIC drivers, backends and upper modules
 * share. Frames are byte arrays in wire order; multi-byte fields are big-endian.
 */
#ifndef NVX_NET_FRAME_ETHER_H
#define NVX_NET_FRAME_ETHER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::net
{

using MacAddr = std::array<std::uint8_t, 6>;

constexpr std::size_t kEtherAddrLen = 6;
constexpr std::size_t kEtherHeaderLen = 14; // dst MAC, src MAC, type
constexpr std::size_t kEtherTypeOffset = 12;
constexpr std::size_t kEtherMinFrame = 60; // without the frame check sequence
constexpr std::uint32_t kEtherMtu = 1500;

constexpr std::uint16_t kEtherTypeIpv4 = 0x0800;
constexpr std::uint16_t kEtherTypeArp = 0x0806;
constexpr std::uint16_t kEtherTypeIpv6 = 0x86DD;

constexpr MacAddr kBroadcastMac{0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

inline std::uint16_t get_be16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t get_be32(const std::uint8_t *p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}
inline void put_be16(std::uint8_t *p, std::uint16_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}
inline void put_be32(std::uint8_t *p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Group (multicast or broadcast) addresses have the I/G bit, the low bit of the first byte.
inline bool mac_is_group(const std::uint8_t *mac)
{
    return (mac[0] & 1) != 0;
}
inline bool mac_is_broadcast(const std::uint8_t *mac)
{
    for (std::size_t i = 0; i < kEtherAddrLen; i++)
        if (mac[i] != 0xff)
            return false;
    return true;
}
inline bool mac_equal(const std::uint8_t *a, const MacAddr &b)
{
    for (std::size_t i = 0; i < kEtherAddrLen; i++)
        if (a[i] != b[i])
            return false;
    return true;
}

// "02:00:00:00:00:01" -> address; nullopt unless six two-digit hex groups separated by ':'.
std::optional<MacAddr> parse_mac(std::string_view text);
std::string format_mac(const MacAddr &mac);

// Dotted IPv4 text -> address as a number whose most significant byte is the first octet.
std::optional<std::uint32_t> parse_ipv4(std::string_view text);
constexpr std::uint32_t ipv4(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

} // namespace platform::net

#endif
