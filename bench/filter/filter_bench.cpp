/*
 * Per-frame cost of the filter set: IsFiltered with 0, 8 and 32 filters, for frames that match
 * no filter (every node is tested: the worst case) and frames that match one, and the whole
 * frame check CheckFiltered (field reads, count, lookup). For scale, the tree's single-path
 * search over the same 32 filters (which misses filters off its path) against the whole-tree
 * scan the lookup uses.
 *
 *   filter_bench [iterations]      (default 2000000)
 */
#include <sys/ksynch.h>
#include <sys/stream.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "btree.h"
#include "nvx.h"
#include "packetfilter.h"

namespace
{

using clock_type = std::chrono::steady_clock;

constexpr U32 ip(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// ns per call of body, which is called iterations times.
double per_call_ns(long iterations, const std::function<bool(long)> &body)
{
    long hits = 0;
    auto t0 = clock_type::now();
    for (long i = 0; i < iterations; i++) {
        hits += body(i);
    }
    auto t1 = clock_type::now();
    if (hits < 0) { // keeps the answers alive
        std::puts("");
    }
    return std::chrono::duration<double, std::nano>(t1 - t0).count() /
           static_cast<double>(iterations);
}

void report(const char *what, double ns)
{
    std::printf("%-60s %8.1f ns\n", what, ns);
}

// Filters 198.18.N.0/24 (N = 0, 2, 4, ...), TCP, either direction, sent median first as the
// library sends them.
std::vector<FilterElement> makeFilters(unsigned count)
{
    std::vector<FilterElement> sorted;
    for (unsigned n = 0; n < count; n++) {
        FilterElement f{};
        f.ulIpAddress = ip(198, 18, 2 * n, 0);
        f.ucNetMask = 24;
        f.ucProtocol = 6;
        f.ucDirection = FILTER_EITHER_DIRECTION;
        sorted.push_back(f);
    }
    std::vector<FilterElement> order;
    std::function<void(long, long)> medianFirst = [&](long lo, long hi) {
        if (lo > hi) {
            return;
        }
        const long mid = (lo + hi) / 2;
        order.push_back(sorted[static_cast<size_t>(mid)]);
        medianFirst(lo, mid - 1);
        medianFirst(mid + 1, hi);
    };
    medianFirst(0, static_cast<long>(sorted.size()) - 1);
    return order;
}

// An outbound Ethernet/IPv4/TCP frame to dst in a block of its own.
struct BenchFrame {
    unsigned char bytes[64] = {};
    dblk_t db{};
    mblk_t mb{};
    explicit BenchFrame(U32 dst)
    {
        bytes[12] = 0x08;
        bytes[14] = 0x45;
        bytes[14 + 9] = 6;
        for (int i = 0; i < 4; i++) {
            bytes[14 + 16 + i] = static_cast<unsigned char>(dst >> (24 - 8 * i));
        }
        db.db_base = bytes;
        db.db_lim = bytes + sizeof bytes;
        db.db_type = M_DATA;
        mb.b_datap = &db;
        mb.b_rptr = bytes;
        mb.b_wptr = bytes + sizeof bytes;
    }
};

} // namespace

int main(int argc, char **argv)
{
    const long iterations = argc > 1 ? std::atol(argv[1]) : 2000000;
    rw_init(&nvx_pflock, nullptr, RW_DRIVER, nullptr);
    if (InitializeFilters() != 0) {
        std::fprintf(stderr, "filter_bench: InitializeFilters failed\n");
        return 1;
    }

    const U32 miss = ip(198, 19, 7, 7); // no filter's network
    const U32 hit = ip(198, 18, 14, 9); // inside filter 7 (and so in the 8 and 32 sets)
    BenchFrame missFrame(miss), hitFrame(hit);
    std::printf("filter_bench: %ld iterations per line\n", iterations);
    for (unsigned count : {0u, 8u, 32u}) {
        FlushFilters();
        for (const FilterElement &f : makeFilters(count)) {
            AddFilter(f.ulIpAddress, f.ucNetMask, f.ucProtocol, f.ucDirection);
        }
        char line[96];
        std::snprintf(line, sizeof line, "IsFiltered, %2u filters, no match", count);
        report(line, per_call_ns(iterations, [&](long i) {
                   return IsFiltered(miss + static_cast<U32>(i & 63), 6, DIR_INBOUND);
               }));
        if (count != 0) {
            std::snprintf(line, sizeof line, "IsFiltered, %2u filters, a match", count);
            report(line, per_call_ns(iterations, [&](long i) {
                       return IsFiltered(hit + static_cast<U32>(i & 63), 6, DIR_INBOUND);
                   }));
        }
        std::snprintf(line, sizeof line, "CheckFiltered (outbound frame), %2u filters, no match",
                      count);
        report(line, per_call_ns(iterations,
                                 [&](long) { return CheckFiltered(&missFrame.mb, DIR_OUTBOUND); }));
        if (count != 0) {
            std::snprintf(line, sizeof line, "CheckFiltered (outbound frame), %2u filters, a match",
                          count);
            report(line, per_call_ns(iterations, [&](long) {
                       return CheckFiltered(&hitFrame.mb, DIR_OUTBOUND);
                   }));
        }
    }
    DestroyFilters();

    // The tree alone, without the lock: one path against the whole tree.
    BTreeHandle tree = nullptr;
    tcreate(&tree, FILTER_MAX_COUNT);
    std::vector<FilterElement> filters = makeFilters(32);
    for (const FilterElement &f : filters) {
        tsearch(&f, tree, CompareFiltersExactMatch);
    }
    FilterElement key{};
    key.ulIpAddress = miss;
    key.ucNetMask = 32;
    key.ucProtocol = 6;
    key.ucDirection = DIR_INBOUND;
    const BTreeNode *stack[FILTER_MAX_COUNT];
    report("tfind (one path), 32 filters, no match, no lock", per_call_ns(iterations, [&](long) {
               return tfind(&key, tree, CompareFilters) != nullptr;
           }));
    report("tscan (whole tree), 32 filters, no match, no lock", per_call_ns(iterations, [&](long) {
               return tscan(&key, tree, CompareFilters, stack, FILTER_MAX_COUNT) != nullptr;
           }));
    tdestroy(tree);
    rw_destroy(&nvx_pflock);
    return 0;
}
