/*
 * The "ip" and "arp" STREAMS modules of the emulated host stack, and their private ioctls.
 *
 * The plumbing code pushes the module on a NIC stream and sends UPPER_IOC_PLUMB; the module
 * then holds the dialogue with the provider as the platform's own stack does: DL_INFO_REQ,
 * DL_ATTACH_REQ (style 2), DL_BIND_REQ (SAP 0x0800 for ip, 0x0806 for arp), DL_INFO_REQ
 * again, and for ip the DL_IOC_HDR_INFO fast-path ioctl; it acknowledges the plumb request
 * when the stream is ready (M_IOCNAK EPROTO when the provider refused a step).
 * UPPER_IOC_UNPLUMB sends DL_UNBIND_REQ and (style 2) DL_DETACH_REQ.
 */
#ifndef NVX_NET_STACK_UPPER_MODULE_H
#define NVX_NET_STACK_UPPER_MODULE_H

#include <cstdint>

namespace platform::net
{

constexpr int UPPER_IOC_PLUMB = 0x5570;   // data: upper_plumb_req
constexpr int UPPER_IOC_UNPLUMB = 0x5571; // no data

struct upper_plumb_req {
    std::uint64_t link;  // UpperLink * of the plumbing code (same process)
    std::uint32_t ppa;   // attached with DL_ATTACH_REQ when style is 2
    std::uint32_t style; // 1 or 2
};

// Installs the "ip" and "arp" modules (once; later calls return 0).
int upper_modules_load();

} // namespace platform::net

#endif
