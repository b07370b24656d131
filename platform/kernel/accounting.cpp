/*
 * Sums the allocators' counters for tests and diagnostics.
 */
#include "accounting.h"

#include "accounting_internal.h"

#include <string>

namespace platform::accounting
{

Counts counts()
{
    Counts c;
    MsgTotals m = message_totals();
    c.msg_allocated = m.allocated;
    c.msg_freed = m.freed;
    LiveTotals k = kmem_totals();
    c.kmem_live = k.count;
    c.kmem_live_bytes = k.bytes;
    LiveTotals u = umem_totals();
    c.umem_live = u.count;
    c.umem_live_bytes = u.bytes;
    return c;
}

std::string leaks_since(const Counts &before)
{
    Counts now = counts();
    std::string out;
    auto note = [&out](const char *what, std::uint64_t was, std::uint64_t is) {
        if (is <= was)
            return;
        if (!out.empty())
            out += "; ";
        out += std::to_string(is - was) + " " + what;
    };
    note("message block(s) not freed", before.msg_outstanding(), now.msg_outstanding());
    note("kmem allocation(s) not freed", before.kmem_live, now.kmem_live);
    note("umem allocation(s) not freed", before.umem_live, now.umem_live);
    return out;
}

} // namespace platform::accounting
