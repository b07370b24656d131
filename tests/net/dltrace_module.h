// "dltrace": a test module pushed between a NIC driver and ip/arp. It passes everything on and
// records the DLPI primitives and ioctls it sees (direction, state of each DL_INFO_ACK), and
// the geometry of every frame going up: the bytes in front of the data block's b_rptr.
#ifndef NVX_TESTS_NET_DLTRACE_MODULE_H
#define NVX_TESTS_NET_DLTRACE_MODULE_H

#include <cstdint>
#include <string>
#include <vector>

namespace dltrace
{

struct Event {
    bool up;
    int type;       // message type
    uint32_t prim;  // DLPI primitive, or the ioctl command for M_IOCTL/M_IOCACK/M_IOCNAK
    uint32_t state; // dl_current_state of a DL_INFO_ACK, else 0
    bool operator==(const Event &) const = default;
};

struct UpFrame {
    bool unitdata;              // came as DL_UNITDATA_IND + M_DATA
    long headroom;              // bytes in the buffer before the link header
    std::vector<uint8_t> frame; // link header (14 bytes in front of b_rptr) + payload
};

void load();  // installs the module once
void reset(); // forgets what was seen and any pending injection
// Sends frame (link header first) up as DL_UNITDATA_IND just before the next DL_BIND_ACK: a
// frame the provider received once it had bound the stream, ahead of its acknowledgement.
void inject_before_bind_ack(std::vector<uint8_t> frame);
std::vector<Event> events();
std::vector<UpFrame> frames();
std::string describe(const std::vector<Event> &ev);

} // namespace dltrace

#endif
