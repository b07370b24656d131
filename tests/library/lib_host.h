// The library tests' host: a streamhost child process with the nvx kernel object loaded,
// autopushed onto a NIC driver through the administrative driver, and interfaces plumbed.
//
//   LibHost host;
//   ASSERT_TRUE(host.start({"hme0,backend=sink"}, {"hme0"})) << host.error();
//   ... libnvxapi calls (NVX_ROOT points at the host's root while it runs) ...
//
// The host and nvx.so come from this build tree, or from the tree named by $NVX_LIB_HOST_TREE
// (the cross-model run: a 32-bit library against a 64-bit host).
#ifndef NVX_TESTS_LIBRARY_LIB_HOST_H
#define NVX_TESTS_LIBRARY_LIB_HOST_H

#include "host_process.h"
#include "packetLib.h"

#include <string>
#include <vector>

namespace libtest
{

class LibHost
{
  public:
    // Starts the host with the NICs given (streamhost --nic descriptions), loads nvx, autopushes it
    // on every NIC driver named in nics, then plumbs the interfaces in plumb.
    bool start(const std::vector<std::string> &nics, const std::vector<std::string> &plumb,
               bool autopush = true);
    int stop() { return h.stop(); }

    int ctl(const std::vector<std::string> &args, std::string *text = nullptr)
    {
        return h.ctl(args, text);
    }
    std::string console();
    // Waits (bounded) until the console holds text; returns whether it does.
    bool await_console(const std::string &text, int timeout_ms = 5000);
    // One interface's counter from "ctl interfaces" (e.g. "tx_frames"); the stream line of
    // the ip module for "ip:rx_frames"; -1 when not found.
    long long counter(const std::string &ifname, const std::string &name);

    const std::string &error() const { return error_; }
    const std::string &root() const { return h.root(); }
    hosttest::HostProcess h;

  private:
    bool autopush_nvx(const std::string &driver);
    std::string error_;
};

std::string streamhost_exe();
std::string nvx_object();

// The library's record of an open adapter, found in pList by its link as the library finds it.
PPAData *open_record(const ADAPTER_INFO *pai);

// A classic capture file (Ethernet) of the frames given.
bool write_pcap(const std::string &path, const std::vector<std::vector<unsigned char>> &frames);

// The driver name of an interface name: hme0 -> hme.
std::string driver_of(const std::string &ifname);

} // namespace libtest

#endif
