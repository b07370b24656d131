/*
 * Plumbing an emulated interface the way the platform's stack does it.
 *
 *   PlumbConfig cfg{"hme0", "ip"};
 *   std::unique_ptr<PlumbedInterface> ip;
 *   if (int err = PlumbedInterface::plumb(cfg, &ip)) ...;
 *   ip->link().rx_frames ...; ip->bridge_to(*other); ip->send(frame, len);
 *   ip.reset();   // DL_UNBIND_REQ, DL_DETACH_REQ (style 2), close
 *
 * plumb opens the NIC's device through a stream head ("/dev/hme" for a style-2 driver,
 * "/dev/hme0" for style 1), so the driver's autopush modules are pushed; pushes the extra
 * modules asked for (tests), then "ip" or "arp", and has it attach and bind. The interface
 * also becomes the stack sender of its NIC for its EtherType, so that a generator or replay
 * backend can send the station's own frames through the whole stream.
 */
#ifndef NVX_NET_STACK_PLUMB_H
#define NVX_NET_STACK_PLUMB_H

#include "stack/upper_link.h"
#include "streams/stream_head.h"

#include <memory>
#include <string>
#include <vector>

namespace platform::net
{

class Nic;

struct PlumbConfig {
    std::string ifname;                  // "<driver><ppa>"
    std::string module = "ip";           // "ip" or "arp"
    bool keep = false;                   // keep copies of received frames
    std::vector<std::string> push_first; // modules pushed between the driver and module
    platform::streams::Caller caller{};  // the process that plumbs
};

class PlumbedInterface
{
  public:
    // Errors: ENXIO no such interface, EINVAL bad module, the stream head's errors, EPROTO
    // the provider refused a step of the dialogue.
    static int plumb(const PlumbConfig &cfg, std::unique_ptr<PlumbedInterface> *out);
    ~PlumbedInterface();
    PlumbedInterface(const PlumbedInterface &) = delete;
    PlumbedInterface &operator=(const PlumbedInterface &) = delete;

    // DL_UNBIND_REQ, DL_DETACH_REQ for style 2, close. Returns the unplumb ioctl's error
    // (the stream is closed in every case). Idempotent.
    int unplumb();

    UpperLink &link() { return *link_; }
    std::shared_ptr<UpperLink> shared_link() { return link_; }
    // Every frame received here is sent out of `to` (nullptr: stop bridging).
    void bridge_to(PlumbedInterface *to);
    // Sends a whole frame (link header first) down the stream.
    bool send(const std::uint8_t *frame, std::size_t len) { return link_->send_frame(frame, len); }
    platform::streams::StreamFile &file() { return *file_; }
    const std::string &ifname() const { return cfg_.ifname; }

  private:
    PlumbedInterface() = default;

    PlumbConfig cfg_;
    Nic *nic_ = nullptr;
    std::uint16_t ethertype_ = 0;
    std::shared_ptr<UpperLink> link_;
    platform::streams::FilePtr file_;
    bool sender_registered_ = false;
};

} // namespace platform::net

#endif
