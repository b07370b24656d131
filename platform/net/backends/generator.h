/*
 * Traffic generator backend and the deterministic frame generator it runs.
 *
 * The generator plays a small network around the adapter's station: TCP conversations, half
 * opened by the station and half by its peers, going through handshake, data both ways with
 * consistent sequence and acknowledgement numbers, and close; UDP datagrams, ICMP echo
 * requests and replies, ARP requests (broadcast) and replies, IPv4 broadcast and multicast
 * datagrams, and frames addressed to other stations. Every IPv4 header, TCP, UDP and ICMP
 * checksum is valid. The sequence of frames depends only on the configuration (seed
 * included), never on timing.
 *
 * Frames whose source is the station itself are marked outbound: the backend has the stack
 * send them (see NicPort::send_from_stack), unless inbound_only is set, in which case the
 * generator does not produce them at all.
 */
#ifndef NVX_NET_BACKENDS_GENERATOR_H
#define NVX_NET_BACKENDS_GENERATOR_H

#include "backends/backend.h"
#include "backends/source_runner.h"
#include "frame/builders.h"

#include <cstdint>
#include <vector>

namespace platform::net
{

struct GeneratorMix {
    // Relative weights of the frame kinds.
    unsigned tcp = 60;
    unsigned udp = 12;
    unsigned icmp = 8;
    unsigned arp = 8;
    unsigned broadcast = 4;
    unsigned multicast = 4;
    unsigned other_station = 4;
};

struct GeneratorConfig {
    std::uint64_t seed = 1;
    MacAddr station_mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::uint32_t station_ip = ipv4(198, 18, 0, 1);
    unsigned peers = 4;         // remote hosts 198.18.1.1 ... with MACs 02:00:00:01:00:nn
    unsigned conversations = 4; // TCP conversations open at a time
    std::size_t min_payload = 0;
    std::size_t max_payload = 1200; // capped at mtu - 40
    std::uint32_t mtu = kEtherMtu;
    GeneratorMix mix;
    bool inbound_only = false;
    Pacing pacing; // for the backend
};

class FrameGenerator
{
  public:
    explicit FrameGenerator(const GeneratorConfig &cfg);

    // Builds the next frame into out; outbound tells whether the station sends it.
    void next(std::vector<std::uint8_t> &out, bool &outbound);

  private:
    struct Conversation {
        bool station_is_client;
        unsigned peer;
        std::uint16_t client_port, server_port;
        std::uint32_t client_seq, server_seq; // next sequence number of each side
        unsigned phase;                       // 0 SYN, 1 SYN-ACK, 2 ACK, 3 data, 4.. close
        unsigned data_left;
    };

    std::uint64_t rand64();
    unsigned below(unsigned n) { return static_cast<unsigned>(rand64() % n); }
    MacAddr peer_mac(unsigned peer) const;
    std::uint32_t peer_ip(unsigned peer) const;
    // The link and IP addresses of a frame between the station and a peer, either way.
    void addresses(unsigned peer, bool station_sends, LinkAddrs &l2, Ipv4Addrs &ip) const;
    void new_conversation(Conversation &c);
    void payload(std::size_t max_len);
    // Returns false if the frame produced is outbound and inbound_only suppresses it.
    bool tcp_frame(std::vector<std::uint8_t> &out, bool &outbound);
    void udp_frame(std::vector<std::uint8_t> &out, bool &outbound);
    void icmp_frame(std::vector<std::uint8_t> &out, bool &outbound);
    void arp_frame(std::vector<std::uint8_t> &out, bool &outbound);
    void broadcast_frame(std::vector<std::uint8_t> &out);
    void multicast_frame(std::vector<std::uint8_t> &out);
    void other_station_frame(std::vector<std::uint8_t> &out);

    GeneratorConfig cfg_;
    std::uint64_t state_;
    std::uint16_t ip_id_ = 1;
    std::uint16_t next_port_ = 40000;
    std::uint16_t icmp_seq_ = 0;
    std::size_t max_payload_;
    std::vector<Conversation> conv_;
    std::vector<std::uint8_t> payload_;
};

BackendPtr make_generator_backend(const GeneratorConfig &cfg, FrameSink *tx_sink = nullptr);
// The runner of a generator backend (counters, finished); nullptr for another kind.
SourceRunner *generator_runner(Backend &b);

} // namespace platform::net

#endif
