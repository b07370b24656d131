// Builders of held TCP frames for the reset tests, and a minimal pcap writer so that an
// independent decoder (tshark) can judge the resets.
#ifndef NVX_TESTS_DRIVER_RESET_TCP_FRAME_H
#define NVX_TESTS_DRIVER_RESET_TCP_FRAME_H

#include <sys/stream.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace nvxtest
{

using Mac = std::array<uint8_t, 6>;

struct TcpFrame {
    Mac dst_mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    Mac src_mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    uint16_t ether_type = 0x0800;
    bool snap = false;            // 802.3 length + LLC/SNAP header instead of Ethernet II
    uint32_t src_ip = 0x0a000002; // 10.0.0.2
    uint32_t dst_ip = 0x0a000001; // 10.0.0.1
    uint8_t protocol = 6;
    uint8_t tos = 0x10;
    uint16_t ip_id = 0x1234;
    uint16_t frag = 0x4000; // DF
    uint8_t ttl = 57;
    int ip_options = 0;     // bytes of NOP options (multiple of 4)
    int ip_total_delta = 0; // added to the computed IP total length
    uint16_t src_port = 80;
    uint16_t dst_port = 1025;
    uint32_t seq = 0x11223344;
    uint32_t ack = 0x55667788;
    uint8_t flags = 0x18; // PSH|ACK
    uint16_t window = 0x7210;
    int payload = 10;

    // The frame bytes, link header first, checksums valid.
    std::vector<uint8_t> bytes() const;
};

// A one-block M_DATA message as the driver holds it: inbound frames have the read pointer
// past the 14-byte link header (still in the buffer), outbound ones at the link header.
// keep limits the bytes present (the rest of the frame is cut off).
mblk_t *held_message(const std::vector<uint8_t> &frame, int dir, size_t keep = SIZE_MAX);

// Every byte of every block of the message, from each read to write pointer.
std::string bytes_of(const mblk_t *mp);

class PcapWriter
{
  public:
    explicit PcapWriter(std::string path);
    void add(const uint8_t *data, size_t len);
    void close();
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    std::vector<uint8_t> buf_;
};

} // namespace nvxtest

#endif
