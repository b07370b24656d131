// Ethernet frames for the capture tests: IPv4 TCP and UDP with valid checksums, each carrying
// a unique 32-bit tag at the start of its payload so a captured frame tells which one it is.
#ifndef NVX_TESTS_LIBRARY_LIB_FRAMES_H
#define NVX_TESTS_LIBRARY_LIB_FRAMES_H

#include <cstdint>
#include <string>
#include <vector>

namespace libtest
{

using Frame = std::vector<unsigned char>;

struct Station {
    unsigned char mac[6];
    std::uint32_t ip; // host order, first octet most significant
};

// The captured interface's station and its peer (addresses from 198.18.0.0/15).
extern const Station kStation; // 02:00:5e:10:00:01, 198.18.0.1
extern const Station kPeer;    // 02:00:5e:20:00:01, 198.18.1.1

Frame tcp_frame(const Station &from, const Station &to, std::uint16_t sport, std::uint16_t dport,
                std::uint32_t tag, std::size_t payload = 40);
Frame udp_frame(const Station &from, const Station &to, std::uint16_t sport, std::uint16_t dport,
                std::uint32_t tag, std::size_t payload = 40);

// The tag of a frame built above; 0 for anything else.
std::uint32_t tag_of(const unsigned char *frame, std::size_t len);
// The TCP destination port of an IPv4 TCP frame; 0 otherwise. Flags likewise (-1 otherwise).
unsigned tcp_dport(const unsigned char *frame, std::size_t len);
int tcp_flags(const unsigned char *frame, std::size_t len);

// "hme0,backend=pcap,file=...,loops=0,rate=R,mac=..." for a replay of file.
std::string replay_nic(const std::string &ifname, const std::string &file, unsigned rate,
                       unsigned loops = 0);

} // namespace libtest

#endif
