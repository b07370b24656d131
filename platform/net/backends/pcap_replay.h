/*
 * Capture-file replay backend: plays the records of a classic capture file (Ethernet link
 * type). A frame whose source address is the adapter's own goes out through the host's stack
 * (NicPort::send_from_stack); every other frame is received from the wire. Records are played
 * back to back or at the pacing rate.
 */
#ifndef NVX_NET_BACKENDS_PCAP_REPLAY_H
#define NVX_NET_BACKENDS_PCAP_REPLAY_H

#include "backends/backend.h"
#include "backends/source_runner.h"

#include <string>

namespace platform::net
{

struct PcapReplayConfig {
    std::string path;
    Pacing pacing;
    unsigned loops = 1; // times through the file; 0: until a pacing bound or stop()
};

// nullptr with *error set when the file cannot be opened or is not an Ethernet capture.
BackendPtr make_pcap_replay_backend(const PcapReplayConfig &cfg, FrameSink *tx_sink,
                                    std::string *error);
SourceRunner *pcap_replay_runner(Backend &b);
// Set once the replay thread met a damaged record (reading stopped there); "" otherwise.
std::string pcap_replay_error(Backend &b);

} // namespace platform::net

#endif
