// Test bed for the nvx driver on the emulated platform: the driver (linked in, installed with
// the built-in module loader), emulated NIC drivers with nvx on their autopush lists, "ip" and
// "arp" plumbed through real stream heads, and device streams on /dev/nvx used the way the
// library uses them (I_STR ioctls, the read request through putmsg, the region through mmap).
// Every test also passes the platform's leak check (message blocks, kmem, umem).
#ifndef NVX_TESTS_DRIVER_MODULE_FIXTURE_H
#define NVX_TESTS_DRIVER_MODULE_FIXTURE_H

#include "CircularQueue.h"
#include "nvx.h"
#include "nvxcontrol.h"

#include "backends/sink.h"
#include "frame/builders.h"
#include "nic/nic.h"
#include "stack/plumb.h"
#include "streams/stream_head.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace modtest
{

using platform::net::MacAddr;

inline const platform::streams::Caller kSensor{4242, 0, 0, IOC_NATIVE};

// Addresses: the station (our adapter) is 198.18.0.1; peers are 198.18.1.x.
constexpr std::uint32_t kStationIp = platform::net::ipv4(198, 18, 0, 1);
inline std::uint32_t peer_ip(unsigned n)
{
    return platform::net::ipv4(198, 18, 1, n);
}
inline const MacAddr kPeerMac{0x02, 0x00, 0x00, 0x01, 0x00, 0x09};

// A mapped capture region of a device stream.
struct Region {
    void *base = nullptr;
    size_t length = 0;
    RcvBuffer *rb() const { return static_cast<RcvBuffer *>(base); }
    void *queue() const { return static_cast<char *>(base) + NVX_RCVBUFFER_SIZE; }
    ~Region();
};

// A captured frame as the reader sees it.
struct Seen {
    PACKET_BUFFER *pb;
    std::vector<std::uint8_t> bytes;
};

class ModuleTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // A NIC driver with `ppas` instances (MACs 02:00:00:00:<style>:<ppa+1>), nvx autopushed.
    platform::net::NicDriver *add_nic(const std::string &name, int style, unsigned ppas = 1,
                                      bool autopush = true);
    MacAddr nic_mac(const std::string &name, unsigned ppa = 0);
    platform::net::FrameCollector *sent_by(const std::string &ifname);
    // Plumbs ifname with "ip" or "arp" (fails the test when refused).
    platform::net::PlumbedInterface *plumb(const std::string &ifname, const char *module = "ip",
                                           bool keep = true);
    void unplumb(platform::net::PlumbedInterface *p);

    // A new device stream on /dev/nvx.
    platform::streams::FilePtr open_nvx(const platform::streams::Caller &who = kSensor);
    // I_STR; returns 0 or the errno of the refusal.
    static int ioctl(platform::streams::StreamFile &f, int cmd, const void *in, size_t len,
                     void *out = nullptr, size_t cap = 0,
                     platform::streams::IoctlResult *r = nullptr);
    static int open_adapter(platform::streams::StreamFile &f, const std::string &name, U32 mode = 0,
                            OpenData *reply = nullptr);
    static int create_rx(platform::streams::StreamFile &f, U32 bufSize, U32 flags,
                         CreateRxData *reply = nullptr);
    static int config(platform::streams::StreamFile &f, U32 type, U32 sub, U32 arg);
    static int add_filter(platform::streams::StreamFile &f, U32 ip, U8 mask, U8 proto, U8 dir);
    static int ignore(platform::streams::StreamFile &f, U32 ip, U32 seconds, U32 proto);
    static int bypass(platform::streams::StreamFile &f, U32 ip);
    // Opens the adapter and creates a capture with a region of bufSize bytes, mapped.
    std::unique_ptr<Region> start_capture(platform::streams::StreamFile &f, const std::string &name,
                                          U32 flags, U32 mode = 0, U32 bufSize = 65536);
    static std::unique_ptr<Region> map(platform::streams::StreamFile &f, size_t len);
    // The read request; returns the region's nvx_errno afterwards.
    static U32 read_request(platform::streams::StreamFile &f, Region &r);
    // A read request, then every frame record waiting (intermediate dequeues).
    static std::vector<Seen> read_frames(platform::streams::StreamFile &f, Region &r);

    // Frames from the wire into the NIC (interrupt context of the calling thread).
    void receive(const std::string &ifname, const std::vector<std::uint8_t> &frame);

    std::vector<std::unique_ptr<platform::net::NicDriver>> nics_;
    std::vector<std::unique_ptr<platform::net::PlumbedInterface>> plumbed_;
};

// Frames: an inbound UDP datagram from peer n to the station (MAC dst), an outbound one.
std::vector<std::uint8_t> udp_in(const MacAddr &dst, unsigned peer = 1, std::uint16_t port = 7,
                                 size_t payload = 32);
std::vector<std::uint8_t> udp_out(const MacAddr &src, unsigned peer = 1, std::uint16_t port = 9,
                                  size_t payload = 32);
std::vector<std::uint8_t> tcp_in(const MacAddr &dst, unsigned peer = 1);

// Console text since the last call.
std::string console();
bool contains(const std::string &text, const std::string &what);

} // namespace modtest

#endif
