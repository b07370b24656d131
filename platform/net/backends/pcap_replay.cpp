/*
 * Capture-file replay backend: a PcapReader run by a SourceRunner thread (interrupt context).
 * The direction of each record is decided in that thread by comparing its source address
 * with the adapter's, which the NIC's port gives. Records too short for a link header are
 * skipped.
 */
#include "backends/pcap_replay.h"

#include "pcap/pcap_file.h"

#include <mutex>

namespace platform::net
{

namespace
{

struct ReplayBackend {
    PcapReader reader;
    PcapRecord rec;
    unsigned loops;
    unsigned loops_done = 0;
    NicPort *port = nullptr; // i: set by start before the thread runs
    std::mutex error_mutex;  // guards error
    std::string error;
    SourceRunner runner;

    ReplayBackend(const PcapReplayConfig &cfg, FrameSink *tx_sink)
        : loops(cfg.loops),
          runner(
              cfg.pacing, [this](std::vector<std::uint8_t> &f, bool &out) { return next(f, out); },
              tx_sink)
    {
    }

    bool next(std::vector<std::uint8_t> &frame, bool &outbound)
    {
        for (;;) {
            switch (reader.next(rec)) {
            case PcapReader::Next::record:
                if (rec.data.size() < kEtherHeaderLen)
                    continue;
                frame.swap(rec.data);
                outbound = mac_equal(frame.data() + kEtherAddrLen, port->mac());
                return true;
            case PcapReader::Next::end:
                if (loops && ++loops_done >= loops)
                    return false;
                if (!reader.rewind())
                    return false;
                continue;
            case PcapReader::Next::error: {
                std::lock_guard lock(error_mutex);
                error = reader.error();
                return false;
            }
            }
        }
    }
};

int replay_start(void *priv, NicPort *port)
{
    auto *rb = static_cast<ReplayBackend *>(priv);
    rb->port = port;
    return rb->runner.start(port);
}
void replay_stop(void *priv)
{
    static_cast<ReplayBackend *>(priv)->runner.stop();
}
void replay_transmit(void *priv, const std::uint8_t *frame, std::size_t len)
{
    static_cast<ReplayBackend *>(priv)->runner.transmit(frame, len);
}
void replay_destroy(void *priv)
{
    delete static_cast<ReplayBackend *>(priv);
}

const BackendOps pcap_replay_ops = {
    "pcap",          // name
    replay_start,    // start
    replay_stop,     // stop
    replay_transmit, // transmit
    replay_destroy,  // destroy
};

} // namespace

BackendPtr make_pcap_replay_backend(const PcapReplayConfig &cfg, FrameSink *tx_sink,
                                    std::string *error)
{
    auto rb = std::make_unique<ReplayBackend>(cfg, tx_sink);
    if (!rb->reader.open(cfg.path)) {
        if (error)
            *error = rb->reader.error();
        return nullptr;
    }
    if (rb->reader.link_type() != kPcapLinkEthernet) {
        if (error)
            *error = cfg.path + ": link type " + std::to_string(rb->reader.link_type()) +
                     " is not Ethernet";
        return nullptr;
    }
    return std::make_unique<Backend>(&pcap_replay_ops, rb.release());
}

SourceRunner *pcap_replay_runner(Backend &b)
{
    return b.ops() == &pcap_replay_ops ? &static_cast<ReplayBackend *>(b.priv())->runner : nullptr;
}

std::string pcap_replay_error(Backend &b)
{
    if (b.ops() != &pcap_replay_ops)
        return "";
    auto *rb = static_cast<ReplayBackend *>(b.priv());
    std::lock_guard lock(rb->error_mutex);
    return rb->error;
}

} // namespace platform::net
