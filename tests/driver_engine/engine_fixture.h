// Test bed for the capture engine: one adapter (table slot 0) opened by a device stream, with
// module instances of nvx on it. Each module instance is a queue pair of the platform between
// two recording sinks: "up" stands for the protocol stack above (inbound frames arrive there
// when released), "down" for the interface driver below (outbound frames). The device stream
// is a pair of its own whose binding owns the adapter record.
//
// The fixture plays the parts of the driver that are not the engine's: it captures a frame the
// way nvx_data does (checks under nvx_rwlock as reader, then store_packet, then the put
// disposition), sends read requests, and acts as the reader on the region with the shared
// queue code. Every message a test makes ends in a sink or is freed; the platform's leak check
// fails the test otherwise.
#ifndef NVX_TESTS_DRIVER_ENGINE_FIXTURE_H
#define NVX_TESTS_DRIVER_ENGINE_FIXTURE_H

#include "CircularQueue.h"
#include "nvx.h"
#include "nvxframes.h"
#include "nvxrelease.h"
#include "nvxsession.h"

#include "streams/queue_pair.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace engine_test
{

using Mac = std::array<unsigned char, 6>;

inline constexpr Mac kAdapterMac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
inline constexpr Mac kOtherMac = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02};
inline constexpr Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
inline constexpr Mac kMulticast = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};

// Messages that reached one end of a module stream, in arrival order.
struct Sink {
    platform::streams::QueuePair *pair = nullptr;
    std::mutex m;
    std::vector<mblk_t *> got;

    size_t count();
    std::vector<mblk_t *> take(); // the caller frees them
    void free_all();
};

struct ModuleStream {
    Sink up, down;
    platform::streams::QueuePair *pair = nullptr;
    BindingInfo *bip = nullptr;
    queue_t *rq() const { return &pair->q[0]; }
    queue_t *wq() const { return &pair->q[1]; }
};

// An inbound frame as the interface driver delivers it: the 14-byte Ethernet header in the
// buffer in front of the read pointer, payload bytes (value seed + i) behind it.
mblk_t *inbound_frame(size_t payload, const Mac &dst = kAdapterMac, unsigned char seed = 0);
// An outbound frame: Ethernet header and payload from the read pointer on.
mblk_t *outbound_frame(size_t payload, const Mac &dst = kOtherMac, unsigned char seed = 0);
// A TCP segment (Ethernet, IPv4, TCP with ACK) for the reset tests, as an outbound frame or,
// with inbound, with the read pointer past its Ethernet header.
mblk_t *tcp_frame(bool inbound);

class EngineTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // NVX_CREATE_RX_IOCTL on the device stream; the reply record in *reply if given.
    int create(U32 bufSize, U32 flags, CreateRxData *reply = nullptr);
    // NVX_CREATE_RX_IOCTL with a given first data block (or none).
    int create_raw(mblk_t *data);
    int close_rx();

    SessionInfo *sip() const { return gip_->captureSession; }
    GlobalInfo *gip() const { return gip_; }
    RcvBuffer *rb() const { return sip()->pRcvBuffer; }
    void *shared_queue() const { return sip()->pFrameBuffer; }
    queue_t *device_wq() const { return &device_->q[1]; }

    // What nvx_data does for a data frame (flow control, store_packet) and the put procedure's
    // disposition; returns the disposition. For proto messages data is the continuation.
    int capture(ModuleStream &s, mblk_t *mp, int dir);
    // A read request with a control part of ctlLen bytes; returns nvx_errno.
    U32 read(size_t ctlLen = sizeof(ReadData));
    // A read request whose wait, if it comes to one, ends at once (a signal is pending): it
    // releases and moves frames like any other and returns 4 instead of waiting for 62.
    U32 read_no_wait();
    // The reader: intermediate dequeues until empty; the PACKET_BUFFERs in order.
    std::vector<PACKET_BUFFER *> take_all();

    // A further module instance on the adapter.
    ModuleStream &add_module();
    // Its stream unbinds (DL_UNBIND_REQ): off the binding list, but still open.
    void unbind(ModuleStream &s);
    // Its stream closes: unbound and off the open module list (its queues stay, as the
    // platform's pairs do, so that a frame wrongly passed on would show in its sinks).
    void close_stream(ModuleStream &s);

    std::vector<std::unique_ptr<ModuleStream>> modules_;
    ModuleStream *m0_ = nullptr;

  private:
    platform::streams::QueuePair *device_ = nullptr;
    BindingInfo *devbip_ = nullptr;
    GlobalInfo *gip_ = nullptr;
};

// Seconds since the epoch the session stamps frames with is irrelevant; tests use this.
struct timeval now_tv();

} // namespace engine_test

#endif
