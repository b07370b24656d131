/*
 * NIC backends: what lies on the far side of an emulated network adapter.
 *
 * A backend is a table of operations plus private state (one file per backend: generator,
 * pcap replay, wire, sink; a TAP backend fits the same table). Its frames reach the NIC
 * through the NicPort the NIC hands to start():
 *   - receive(): a frame arrives from the wire. Called from the backend's own thread, which is
 *     the NIC's interrupt context: nothing on that path may sleep.
 *   - send_from_stack(): a frame the host itself sends (replayed traffic whose source is the
 *     adapter's own address). The NIC passes it to the stack module plumbed for its EtherType,
 *     which sends it down through the whole stream (so a capture module sees it outbound).
 * Frames the stack sends down the NIC reach the backend through transmit(), in the sender's
 * context (process, interrupt or callout): it must not sleep either.
 */
#ifndef NVX_NET_BACKENDS_BACKEND_H
#define NVX_NET_BACKENDS_BACKEND_H

#include "frame/ether.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace platform::net
{

// What a backend sees of its NIC.
class NicPort
{
  public:
    // Interrupt context (the backend's thread): one frame from the wire, copied by the NIC
    // before it returns.
    virtual void receive(const std::uint8_t *frame, std::size_t len) = 0;
    // The backend's thread: a frame the host's stack sends; false when no stream of the stack
    // is plumbed for its EtherType (the NIC counts it).
    virtual bool send_from_stack(const std::uint8_t *frame, std::size_t len) = 0;
    virtual const MacAddr &mac() const = 0;

  protected:
    ~NicPort() = default;
};

// Where frames go: the sent-down side of a backend, a test's collector, a capture file.
class FrameSink
{
  public:
    // Any context; the bytes are valid only during the call.
    virtual void put_frame(const std::uint8_t *frame, std::size_t len) = 0;

  protected:
    ~FrameSink() = default;
};

struct BackendOps {
    const char *name;
    // Starts delivering frames to port (usually by starting the backend's thread). Returns 0
    // or an errno value.
    int (*start)(void *priv, NicPort *port);
    // Stops and joins the thread: after it returns no call into the port is running or will
    // be made.
    void (*stop)(void *priv);
    // A frame sent down by the stack (any context, never sleeps).
    void (*transmit)(void *priv, const std::uint8_t *frame, std::size_t len);
    // Frees the private state (stopped before).
    void (*destroy)(void *priv);
};

// Owns one backend instance: its operations table and private state.
class Backend
{
  public:
    Backend(const BackendOps *ops, void *priv) : ops_(ops), priv_(priv) {}
    Backend(const Backend &) = delete;
    Backend &operator=(const Backend &) = delete;
    ~Backend()
    {
        if (started_)
            ops_->stop(priv_);
        ops_->destroy(priv_);
    }

    int start(NicPort *port)
    {
        int rc = ops_->start(priv_, port);
        started_ = rc == 0;
        return rc;
    }
    void stop()
    {
        if (started_)
            ops_->stop(priv_);
        started_ = false;
    }
    void transmit(const std::uint8_t *frame, std::size_t len) { ops_->transmit(priv_, frame, len); }

    const BackendOps *ops() const { return ops_; }
    void *priv() const { return priv_; }
    const char *name() const { return ops_->name; }

  private:
    const BackendOps *ops_;
    void *priv_;
    bool started_ = false;
};

using BackendPtr = std::unique_ptr<Backend>;

} // namespace platform::net

#endif
