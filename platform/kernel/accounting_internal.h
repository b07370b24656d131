/*
 * The counters each allocator keeps, read by accounting::counts().
 */
#ifndef NVX_PLATFORM_ACCOUNTING_INTERNAL_H
#define NVX_PLATFORM_ACCOUNTING_INTERNAL_H

#include <cstdint>

namespace platform::accounting
{

struct MsgTotals {
    std::uint64_t allocated;
    std::uint64_t freed;
};
MsgTotals message_totals();

struct LiveTotals {
    std::uint64_t count;
    std::uint64_t bytes;
};
LiveTotals kmem_totals();
LiveTotals umem_totals();

} // namespace platform::accounting

#endif
