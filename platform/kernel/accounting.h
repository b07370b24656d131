/*
 * Accounting of the kernel's allocations, for tests and the host's diagnostics.
 *
 * Message blocks: every mblk made (allocb, dupb, copyb, and the calls built on them) and
 * every one freed. kmem: live allocations and bytes. umem: live allocations and bytes.
 * Counters are kept per thread and summed when read, so a read while other threads allocate is
 * approximate; at a quiet moment it is exact.
 */
#ifndef NVX_PLATFORM_ACCOUNTING_H
#define NVX_PLATFORM_ACCOUNTING_H

#include <cstdint>
#include <string>

namespace platform::accounting
{

struct Counts {
    std::uint64_t msg_allocated = 0;   // message blocks made
    std::uint64_t msg_freed = 0;       // message blocks freed
    std::uint64_t kmem_live = 0;       // kmem allocations not yet freed
    std::uint64_t kmem_live_bytes = 0; // their bytes (as requested)
    std::uint64_t umem_live = 0;       // umem allocations not yet freed
    std::uint64_t umem_live_bytes = 0; // their bytes (page-rounded)

    std::uint64_t msg_outstanding() const { return msg_allocated - msg_freed; }
};

Counts counts();

// "" if nothing more is outstanding now than in before; otherwise a one-line description of
// what leaked.
std::string leaks_since(const Counts &before);

} // namespace platform::accounting

#endif
