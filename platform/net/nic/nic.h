/*
 * Emulated Ethernet NICs: DLPI version 2 STREAMS drivers, one per driver name ("hme", "ge",
 * "e1000g" ...), each with one or more instances (PPAs) that have their own MAC address, MTU
 * (dl_max_sdu) and backend.
 *
 *   NicDriverConfig cfg{"hme", 2, {}};
 *   cfg.instances.push_back({0, mac, 1500, false, make_generator_backend(gen)});
 *   std::unique_ptr<NicDriver> drv;
 *   if (int err = NicDriver::load(std::move(cfg), &drv)) ...;   // "/dev/hme" (style 2)
 *   ... streams open /dev/hme, attach ppa 0, bind ...; drv->instance(0)->counters() ...
 *   drv.reset();                                                  // unload (all closed first)
 *
 * Provider style 1: one clone-able node per instance, "/dev/<name><ppa>"; each open makes a
 * new stream already attached (state DL_UNBOUND). Style 2: one clone node "/dev/<name>"; each
 * open makes a new stream in DL_UNATTACHED that DL_ATTACH_REQ attaches to a PPA.
 */
#ifndef NVX_NET_NIC_NIC_H
#define NVX_NET_NIC_NIC_H

#include "backends/backend.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform::net
{

struct NicInstanceConfig {
    unsigned ppa = 0;
    MacAddr mac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    std::uint32_t mtu = kEtherMtu; // dl_max_sdu, 68 .. 9000
    bool promiscuous = false;      // also deliver unicast frames addressed to other stations
    BackendPtr backend;            // started at load, stopped at unload
};

struct NicDriverConfig {
    std::string name; // driver name, at most 12 characters
    int style = 2;    // 1 or 2
    std::vector<NicInstanceConfig> instances;
};

// Per-instance counters; relaxed atomics (statistics, exact once traffic is quiet).
struct NicCounters {
    std::atomic<std::uint64_t> rx_frames{0};     // frames passed up to a stream
    std::atomic<std::uint64_t> rx_bytes{0};      // their bytes, link header included
    std::atomic<std::uint64_t> rx_nomem{0};      // dropped: allocb failed
    std::atomic<std::uint64_t> rx_unbound{0};    // dropped: no stream bound to the EtherType
    std::atomic<std::uint64_t> rx_not_mine{0};   // dropped: unicast to another station
    std::atomic<std::uint64_t> rx_bad_length{0}; // dropped: shorter than a header or over MTU
    std::atomic<std::uint64_t> tx_frames{0};     // frames handed to the backend
    std::atomic<std::uint64_t> tx_bytes{0};
    std::atomic<std::uint64_t> tx_errors{0};    // dropped sends: wrong state, bad length
    std::atomic<std::uint64_t> stack_unsent{0}; // backend frames no stack sender took
};

// What a stack module offers a NIC so that a backend can send frames "from the host": the
// function is called from the backend's thread and sends the frame down its stream.
using StackSendFn = bool (*)(void *ctx, const std::uint8_t *frame, std::size_t len);

struct NicInstance; // the kernel-side records (nic_impl.h)
struct NicDriverRec;

class Nic
{
  public:
    const std::string &ifname() const; // "<driver><ppa>"
    unsigned ppa() const;
    const MacAddr &mac() const;
    std::uint32_t mtu() const;
    const NicCounters &counters() const;
    Backend &backend();

    // Stack modules: offer / withdraw sending for an EtherType. Withdrawing waits until no
    // call of fn is running. Returns 0, EEXIST (that EtherType already has a sender).
    int register_stack_sender(std::uint16_t ethertype, StackSendFn fn, void *ctx);
    void unregister_stack_sender(void *ctx);

    NicInstance *impl() const { return impl_; }
    explicit Nic(NicInstance *impl) : impl_(impl) {}

  private:
    NicInstance *impl_;
};

class NicDriver
{
  public:
    // Installs and attaches the driver (module linkage, minor nodes) and starts the backends.
    // Errors: EINVAL bad configuration, EEXIST driver name in use, or the module loader's.
    static int load(NicDriverConfig cfg, std::unique_ptr<NicDriver> *out);
    // Stops the backends and unloads the driver; streams must be closed by then.
    ~NicDriver();
    NicDriver(const NicDriver &) = delete;
    NicDriver &operator=(const NicDriver &) = delete;

    const std::string &name() const;
    int style() const;
    Nic *instance(unsigned ppa);

    explicit NicDriver(NicDriverRec *rec) : rec_(rec) {}

  private:
    NicDriverRec *rec_;
};

// Instance by interface name ("hme0"), of any loaded driver; nullptr if none.
Nic *nic_find(const std::string &ifname);

} // namespace platform::net

#endif
