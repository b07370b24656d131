#include "lib_frames.h"

#include "nvxcksum.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace libtest
{

const Station kStation = {{0x02, 0x00, 0x5e, 0x10, 0x00, 0x01}, (198u << 24) | (18u << 16) | 1u};
const Station kPeer = {{0x02, 0x00, 0x5e, 0x20, 0x00, 0x01},
                       (198u << 24) | (18u << 16) | (1u << 8) | 1u};

namespace
{

constexpr int kEth = 14;
constexpr int kIp = 20;

Frame ip_frame(const Station &from, const Station &to, int proto, int l4len)
{
    Frame f(static_cast<size_t>(kEth + kIp + l4len), 0);
    std::memcpy(f.data(), to.mac, 6);
    std::memcpy(f.data() + 6, from.mac, 6);
    putValue16(0x0800, f.data(), 12);
    unsigned char *ip = f.data() + kEth;
    ip[0] = 0x45;
    putValue16(static_cast<unsigned>(kIp + l4len), ip, 2);
    putValue16(0x4000, ip, 6);
    ip[8] = 64;
    ip[9] = static_cast<unsigned char>(proto);
    putValue32(from.ip, ip, 12);
    putValue32(to.ip, ip, 16);
    setIpChecksum(ip);
    return f;
}

} // namespace

Frame tcp_frame(const Station &from, const Station &to, std::uint16_t sport, std::uint16_t dport,
                std::uint32_t tag, std::size_t payload)
{
    if (payload < 4)
        payload = 4;
    int l4 = 20 + static_cast<int>(payload);
    Frame f = ip_frame(from, to, 6, l4);
    unsigned char *tcp = f.data() + kEth + kIp;
    putValue16(sport, tcp, 0);
    putValue16(dport, tcp, 2);
    putValue32(0x1000 + tag, tcp, 4);
    putValue32(0x2000, tcp, 8);
    tcp[12] = 0x50;
    tcp[13] = 0x18; // PSH ACK
    putValue16(8192, tcp, 14);
    putValue32(tag, tcp, 20);
    for (size_t i = 4; i < payload; i++)
        tcp[20 + i] = static_cast<unsigned char>('a' + (i + tag) % 26);
    setTcpChecksum(tcp, static_cast<int>(payload), from.ip, to.ip, l4);
    return f;
}

Frame udp_frame(const Station &from, const Station &to, std::uint16_t sport, std::uint16_t dport,
                std::uint32_t tag, std::size_t payload)
{
    if (payload < 4)
        payload = 4;
    int l4 = 8 + static_cast<int>(payload);
    Frame f = ip_frame(from, to, 17, l4);
    unsigned char *udp = f.data() + kEth + kIp;
    putValue16(sport, udp, 0);
    putValue16(dport, udp, 2);
    putValue16(static_cast<unsigned>(l4), udp, 4);
    putValue32(tag, udp, 8);
    for (size_t i = 4; i < payload; i++)
        udp[8 + i] = static_cast<unsigned char>('A' + (i + tag) % 26);
    return f; // UDP checksum 0: none
}

std::uint32_t tag_of(const unsigned char *f, std::size_t len)
{
    if (len < static_cast<size_t>(kEth + kIp + 8) || getUnsigned16(f, 12) != 0x0800)
        return 0;
    int proto = f[kEth + 9];
    int l4 = kEth + (f[kEth] & 0xf) * 4;
    if (proto == 6 && len >= static_cast<size_t>(l4 + 24))
        return getUnsigned32(f, l4 + (f[l4 + 12] >> 4) * 4);
    if (proto == 17 && len >= static_cast<size_t>(l4 + 12))
        return getUnsigned32(f, l4 + 8);
    return 0;
}

unsigned tcp_dport(const unsigned char *f, std::size_t len)
{
    if (len < static_cast<size_t>(kEth + kIp + 20) || getUnsigned16(f, 12) != 0x0800 ||
        f[kEth + 9] != 6)
        return 0;
    return static_cast<unsigned>(getUnsigned16(f, kEth + (f[kEth] & 0xf) * 4 + 2));
}

int tcp_flags(const unsigned char *f, std::size_t len)
{
    if (len < static_cast<size_t>(kEth + kIp + 20) || getUnsigned16(f, 12) != 0x0800 ||
        f[kEth + 9] != 6)
        return -1;
    return f[kEth + (f[kEth] & 0xf) * 4 + 13];
}

std::string replay_nic(const std::string &ifname, const std::string &file, unsigned rate,
                       unsigned loops)
{
    char mac[32];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", kStation.mac[0],
                  kStation.mac[1], kStation.mac[2], kStation.mac[3], kStation.mac[4],
                  kStation.mac[5]);
    return ifname + ",backend=pcap,file=" + file + ",loops=" + std::to_string(loops) +
           ",rate=" + std::to_string(rate) + ",mac=" + mac;
}

} // namespace libtest
