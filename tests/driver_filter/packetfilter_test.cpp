// The filter set: matching by prefix, protocol and direction whatever the insertion order (with
// a randomized check against a plain scan of the same filters), adds, repeats, a full set,
// flush and delete, the exact order, its messages, creation under allocation failure, and the
// per-frame check on frames built in exactly-sized blocks.
#include "packetfilter.h"

#include <gtest/gtest.h>

#include <sys/ksynch.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "accounting.h"
#include "console_log.h"
#include "debug.h"
#include "faults.h"
#include "nvx.h"
#include "nvxutil.h"
#include "packetErrors.h"
#include "poolmgt.h"
#include "test_frames.h"

namespace
{

using test_frames::ip;

constexpr U8 TCP = 6, UDP = 17, ICMP = 1, ANY = FILTER_ANY_PROTOCOL;
constexpr U8 IN = FILTER_INBOUND, EITHER = FILTER_EITHER_DIRECTION, OUT = FILTER_OUTBOUND;

FilterElement filter(U32 address, U8 mask, U8 protocol, U8 direction)
{
    FilterElement f{};
    f.ulIpAddress = address;
    f.ucNetMask = mask;
    f.ucProtocol = protocol;
    f.ucDirection = direction;
    return f;
}

// The matching rules stated plainly, for the randomized comparison.
bool matchesPlainly(const FilterElement &f, U32 address, U8 protocol, U8 direction)
{
    const unsigned mask = std::min<unsigned>(f.ucNetMask, 32);
    const bool prefix = mask == 0 || (address >> (32 - mask)) == (f.ulIpAddress >> (32 - mask));
    const bool proto = f.ucProtocol == ANY || f.ucProtocol == protocol;
    const bool dir = f.ucDirection == EITHER || f.ucDirection == direction;
    return prefix && proto && dir;
}

class FilterSetTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        rw_init(&nvx_pflock, nullptr, RW_DRIVER, nullptr);
        ASSERT_EQ(InitializeFilters(), 0);
        platform::console::take();
    }
    void TearDown() override
    {
        _debug(0);
        DestroyFilters();
        rw_destroy(&nvx_pflock);
        platform::console::take();
    }
    void add(const FilterElement &f)
    {
        ASSERT_NE(AddFilter(f.ulIpAddress, f.ucNetMask, f.ucProtocol, f.ucDirection), nullptr);
    }
    static void traceLevel(int level)
    {
        _debug(1);
        _dsetlevel(level, 2);
        platform::console::take();
    }
};

struct Probe {
    U32 address;
    U8 protocol;
    U8 direction;
    bool filtered;
};

TEST_F(FilterSetTest, MatchesByPrefixProtocolAndDirection)
{
    struct Case {
        const char *name;
        std::vector<FilterElement> filters; // added in this order
        std::vector<Probe> probes;
    } cases[] = {
        {"10.1.0.0/16 TCP either",
         {filter(ip(10, 1, 0, 0), 16, TCP, EITHER)},
         {{ip(10, 1, 2, 3), TCP, IN, true},
          {ip(10, 1, 2, 3), TCP, OUT, true},
          {ip(10, 2, 0, 1), TCP, IN, false},
          {ip(10, 1, 2, 3), UDP, IN, false}}},
        {"192.168.1.5/32 any protocol inbound",
         {filter(ip(192, 168, 1, 5), 32, ANY, IN)},
         {{ip(192, 168, 1, 5), TCP, IN, true},
          {ip(192, 168, 1, 5), UDP, IN, true},
          {ip(192, 168, 1, 5), ICMP, IN, true},
          {ip(192, 168, 1, 5), TCP, OUT, false},
          {ip(192, 168, 1, 4), TCP, IN, false}}},
        {"mask 0 matches every address",
         {filter(ip(172, 16, 0, 0), 0, UDP, OUT)},
         {{ip(1, 2, 3, 4), UDP, OUT, true},
          {ip(255, 255, 255, 255), UDP, OUT, true},
          {ip(1, 2, 3, 4), UDP, IN, false},
          {ip(1, 2, 3, 4), TCP, OUT, false}}},
        {"a /8 added after a /32 inside it is still found",
         {filter(ip(10, 1, 1, 1), 32, TCP, EITHER), filter(ip(10, 0, 0, 0), 8, ANY, EITHER)},
         {{ip(10, 5, 5, 5), UDP, IN, true},
          {ip(10, 1, 1, 1), TCP, OUT, true},
          {ip(11, 0, 0, 0), UDP, IN, false}}},
        {"the stored address's host bits do not narrow its prefix",
         {filter(ip(10, 1, 99, 99), 16, TCP, IN)},
         {{ip(10, 1, 0, 1), TCP, IN, true}, {ip(10, 0, 99, 99), TCP, IN, false}}},
        {"unsigned order: addresses with the top bit set",
         {filter(ip(200, 0, 0, 0), 8, TCP, EITHER), filter(ip(10, 0, 0, 0), 8, TCP, EITHER),
          filter(ip(128, 0, 0, 0), 1, UDP, EITHER)},
         {{ip(200, 9, 9, 9), TCP, IN, true},
          {ip(10, 9, 9, 9), TCP, IN, true},
          {ip(250, 0, 0, 1), UDP, OUT, true},
          {ip(127, 0, 0, 1), UDP, OUT, false}}},
        {"a frame's protocol 255 is not a wildcard",
         {filter(ip(10, 0, 0, 0), 8, TCP, EITHER), filter(ip(20, 0, 0, 0), 8, ANY, EITHER)},
         {{ip(10, 0, 0, 1), 255, IN, false}, {ip(20, 0, 0, 1), 255, IN, true}}},
        {"a frame's direction must equal a one-way filter's",
         {filter(ip(10, 0, 0, 0), 8, TCP, OUT)},
         {{ip(10, 0, 0, 1), TCP, OUT, true}, {ip(10, 0, 0, 1), TCP, IN, false}}},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(FlushFilters(), 0);
        for (const FilterElement &f : c.filters) {
            add(f);
        }
        for (const Probe &p : c.probes) {
            char text[16];
            EXPECT_EQ(IsFiltered(p.address, p.protocol, p.direction), p.filtered)
                << c.name << ": " << nvx_inet_ntoa(p.address, text, sizeof text) << " protocol "
                << int(p.protocol) << " direction " << int(p.direction);
        }
    }
}

TEST_F(FilterSetTest, TheNestedPrefixExampleBuildsTheTreeItDescribes)
{
    add(filter(ip(10, 1, 1, 1), 32, TCP, EITHER));
    add(filter(ip(10, 0, 0, 0), 8, ANY, EITHER));
    traceLevel(FILTER_TRACE_LEVEL);
    DumpFilters();
    const std::string dump = platform::console::take();
    // Root 10.1.1.1 with 10.0.0.0 as its left child: preorder, leaf, postorder.
    const std::string lines[] = {
        "IP = 10.1.1.1; netmask = 32; protocol = 6; direction = 2; visit = preorder; level = 0\n",
        "IP = 10.0.0.0; netmask = 8; protocol = 255; direction = 2; visit = leaf; level = 1\n",
        "IP = 10.1.1.1; netmask = 32; protocol = 6; direction = 2; visit = postorder; level = 0\n",
    };
    size_t at = 0;
    for (const std::string &line : lines) {
        const size_t node = dump.find("Node 0x", at);
        ASSERT_NE(node, std::string::npos) << dump;
        at = dump.find(line, node);
        ASSERT_NE(at, std::string::npos) << line << " in\n" << dump;
    }
    EXPECT_TRUE(IsFiltered(ip(10, 5, 5, 5), UDP, IN));
}

TEST_F(FilterSetTest, AnIdenticalAddIsANoOpThatSucceeds)
{
    FilterElement *first = AddFilter(ip(10, 1, 0, 0), 16, TCP, EITHER);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(AddFilter(ip(10, 1, 0, 0), 16, TCP, EITHER), first);
    EXPECT_EQ(GetFilterCount(), 1u);
    EXPECT_EQ(first->ulIpAddress, ip(10, 1, 0, 0));
    EXPECT_EQ(first->ucNetMask, 16);
    EXPECT_EQ(first->ucProtocol, TCP);
    EXPECT_EQ(first->ucDirection, EITHER);
    // Any differing field makes another filter.
    EXPECT_NE(AddFilter(ip(10, 1, 0, 0), 16, TCP, IN), first);
    EXPECT_NE(AddFilter(ip(10, 1, 0, 0), 16, UDP, EITHER), first);
    EXPECT_NE(AddFilter(ip(10, 1, 0, 0), 15, TCP, EITHER), first);
    EXPECT_NE(AddFilter(ip(10, 1, 0, 1), 16, TCP, EITHER), first);
    EXPECT_EQ(GetFilterCount(), 5u);
}

TEST_F(FilterSetTest, AFullSetRefusesNewAndRepeatedFilters)
{
    for (unsigned i = 0; i < FILTER_MAX_COUNT; i++) {
        add(filter(ip(10, 0, 0, i), 32, TCP, EITHER));
    }
    EXPECT_EQ(GetFilterCount(), 32u);
    platform::console::take();
    EXPECT_EQ(AddFilter(ip(11, 0, 0, 0), 32, TCP, EITHER), nullptr) << "a new filter";
    EXPECT_EQ(AddFilter(ip(10, 0, 0, 7), 32, TCP, EITHER), nullptr) << "a repeat";
    const std::string log = platform::console::take();
    const std::string refusal = "ERROR:  unable to allocate space for new filter.\n";
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4) << log;
    EXPECT_NE(log.find("ERROR:  block allocation failure; no free space in pool 0x"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.substr(log.size() - refusal.size()), refusal);
    EXPECT_EQ(GetFilterCount(), 32u);
    EXPECT_TRUE(IsFiltered(ip(10, 0, 0, 31), TCP, IN));
    EXPECT_FALSE(IsFiltered(ip(11, 0, 0, 0), TCP, IN));
}

TEST_F(FilterSetTest, FlushEmptiesTheSetAndFreesItsStorage)
{
    add(filter(0, 0, ANY, EITHER)); // matches everything
    for (unsigned i = 1; i < FILTER_MAX_COUNT; i++) {
        add(filter(ip(10, 0, 0, i), 32, TCP, EITHER));
    }
    ASSERT_TRUE(IsFiltered(ip(1, 2, 3, 4), UDP, OUT));
    EXPECT_EQ(FlushFilters(), 0);
    EXPECT_EQ(GetFilterCount(), 0u);
    for (U32 address : {ip(1, 2, 3, 4), ip(10, 0, 0, 1), 0u, 0xffffffffu}) {
        for (U8 protocol : {TCP, UDP, ANY}) {
            EXPECT_FALSE(IsFiltered(address, protocol, IN));
            EXPECT_FALSE(IsFiltered(address, protocol, OUT));
        }
    }
    for (unsigned i = 0; i < FILTER_MAX_COUNT; i++) {
        add(filter(ip(20, 0, 0, i), 32, UDP, IN)); // all 32 blocks and nodes are free again
    }
    EXPECT_EQ(GetFilterCount(), 32u);
}

TEST_F(FilterSetTest, DeleteRemovesOnlyTheIdenticalFilter)
{
    add(filter(ip(10, 0, 0, 0), 8, TCP, EITHER));
    add(filter(ip(10, 1, 0, 0), 16, UDP, EITHER));
    add(filter(ip(9, 0, 0, 0), 8, TCP, EITHER));
    traceLevel(FILTER_TRACE_LEVEL);
    EXPECT_EQ(DeleteFilter(ip(10, 0, 0, 0), 8, TCP, IN), 0) << "not identical: nothing removed";
    EXPECT_EQ(platform::console::take(), "");
    EXPECT_EQ(GetFilterCount(), 3u);
    EXPECT_EQ(DeleteFilter(ip(10, 0, 0, 0), 8, TCP, EITHER), 0);
    EXPECT_EQ(platform::console::take(),
              "INFO:  deleted filter; ip = 10.0.0.0, netmask = 8, protocol = 6, direction = 2.\n");
    EXPECT_EQ(GetFilterCount(), 2u);
    EXPECT_FALSE(IsFiltered(ip(10, 9, 9, 9), TCP, IN));
    EXPECT_TRUE(IsFiltered(ip(10, 1, 9, 9), UDP, IN));
    EXPECT_TRUE(IsFiltered(ip(9, 9, 9, 9), TCP, OUT));
    // Its block went back: 30 more distinct filters fit.
    for (unsigned i = 0; i < FILTER_MAX_COUNT - 2; i++) {
        add(filter(ip(30, 0, 0, i), 32, TCP, IN));
    }
}

TEST_F(FilterSetTest, AddsAreTracedAtLevelTwo)
{
    traceLevel(FILTER_TRACE_LEVEL);
    add(filter(ip(10, 1, 0, 0), 16, TCP, EITHER));
    add(filter(ip(10, 1, 0, 0), 16, TCP, EITHER));
    const std::string line =
        "INFO:  added filter; ip = 10.1.0.0, netmask = 16, protocol = 6, direction = 2.\n";
    EXPECT_EQ(platform::console::take(), line + line) << "a repeat is traced as an add too";
    _dsetlevel(POOL_TRACE_LEVEL, 2);
    add(filter(ip(10, 2, 0, 0), 16, TCP, EITHER));
    EXPECT_EQ(platform::console::take().find("added filter"), std::string::npos);
}

TEST_F(FilterSetTest, DestroyingANonEmptySetWarnsForBothPools)
{
    add(filter(ip(10, 0, 0, 0), 8, TCP, EITHER));
    add(filter(ip(11, 0, 0, 0), 8, TCP, EITHER));
    DestroyFilters();
    const std::string log = platform::console::take();
    // The element pool and the tree's node pool each still hand out two blocks.
    size_t warnings = 0;
    for (size_t at = log.find("WARNING:  freed pool 0x"); at != std::string::npos;
         at = log.find("WARNING:  freed pool 0x", at + 1)) {
        const size_t end = log.find('\n', at);
        EXPECT_TRUE(log.substr(0, end + 1).ends_with(" contains 2 unfreed blocks.\n")) << log;
        warnings++;
    }
    EXPECT_EQ(warnings, 2u) << log;
    EXPECT_EQ(GetFilterCount(), 0u);
    EXPECT_FALSE(IsFiltered(ip(10, 0, 0, 1), TCP, IN));
    ASSERT_EQ(InitializeFilters(), 0) << "for the fixture's own DestroyFilters";
}

TEST_F(FilterSetTest, ExactOrderSortsAddressMaskProtocolDirection)
{
    struct Case {
        const char *name;
        FilterElement a, b;
        int sign; // of CompareFiltersExactMatch(a, b)
    } cases[] = {
        {"address, unsigned", filter(ip(200, 0, 0, 0), 8, TCP, IN),
         filter(ip(10, 0, 0, 0), 8, TCP, IN), 1},
        {"address below", filter(ip(10, 0, 0, 0), 32, 0, 0), filter(ip(10, 0, 0, 1), 0, 0, 0), -1},
        {"mask", filter(1, 24, TCP, IN), filter(1, 16, TCP, IN), 1},
        {"protocol", filter(1, 8, TCP, IN), filter(1, 8, UDP, IN), -1},
        {"any sorts as 127 above 6", filter(1, 8, ANY, IN), filter(1, 8, TCP, IN), 1},
        {"any sorts as 127 below 128", filter(1, 8, ANY, IN), filter(1, 8, 128, IN), -1},
        {"any sorts after 127 itself", filter(1, 8, ANY, IN), filter(1, 8, 127, IN), 1},
        {"127 before any", filter(1, 8, 127, IN), filter(1, 8, ANY, IN), -1},
        {"any equals any, then direction", filter(1, 8, ANY, OUT), filter(1, 8, ANY, IN), 1},
        {"identical", filter(1, 8, TCP, EITHER), filter(1, 8, TCP, EITHER), 0},
    };
    for (const Case &c : cases) {
        const int order = CompareFiltersExactMatch(&c.a, &c.b);
        EXPECT_EQ((order > 0) - (order < 0), c.sign) << c.name;
        const int reverse = CompareFiltersExactMatch(&c.b, &c.a);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.sign) << c.name << " (reversed)";
    }
}

// Many random sets of up to 32 filters, each added in a random order, against random frames
// of both directions and several protocols: IsFiltered must agree with a plain scan.
TEST_F(FilterSetTest, RandomSetsAgreeWithAPlainScan)
{
    const unsigned seed = 20261210;
    std::mt19937 random(seed);
    auto pick = [&](auto... values) {
        const U32 options[] = {static_cast<U32>(values)...};
        return options[random() % sizeof...(values)];
    };
    // Addresses cluster around a few networks so that prefixes overlap and nest.
    auto address = [&]() -> U32 {
        const U32 base = pick(ip(10, 0, 0, 0), ip(10, 1, 0, 0), ip(10, 1, 1, 0), ip(192, 168, 1, 0),
                              ip(200, 0, 0, 0), 0u);
        const unsigned hostBits = pick(0, 1, 4, 8, 16, 24, 32);
        const U32 host = hostBits == 32 ? random() : random() & ((1u << hostBits) - 1);
        return base ^ host;
    };
    auto mask = [&]() -> U8 {
        return static_cast<U8>(random() % 2 ? pick(0, 8, 16, 24, 32) : random() % 33);
    };

    unsigned filteredSeen = 0, probes = 0;
    for (int set = 0; set < 1500; set++) {
        std::vector<FilterElement> filters;
        const unsigned size = random() % (FILTER_MAX_COUNT + 1);
        for (unsigned i = 0; i < size; i++) {
            filters.push_back(filter(address(), mask(), static_cast<U8>(pick(TCP, UDP, ICMP, ANY)),
                                     static_cast<U8>(pick(IN, EITHER, OUT))));
        }
        std::shuffle(filters.begin(), filters.end(), random);
        ASSERT_EQ(FlushFilters(), 0);
        for (const FilterElement &f : filters) {
            add(f);
        }
        std::vector<FilterElement> distinct = filters;
        std::sort(distinct.begin(), distinct.end(), [](const auto &a, const auto &b) {
            return CompareFiltersExactMatch(&a, &b) < 0;
        });
        distinct.erase(std::unique(distinct.begin(), distinct.end(),
                                   [](const auto &a, const auto &b) {
                                       return CompareFiltersExactMatch(&a, &b) == 0;
                                   }),
                       distinct.end());
        ASSERT_EQ(GetFilterCount(), distinct.size()) << "set " << set << " (seed " << seed << ")";

        for (int frame = 0; frame < 100; frame++) {
            // Half the frames come from near a filter of the set, half from anywhere.
            U32 remote = address();
            if (!filters.empty() && random() % 2) {
                remote =
                    filters[random() % filters.size()].ulIpAddress ^ (random() >> (random() % 32));
            }
            const U8 protocol = static_cast<U8>(pick(TCP, UDP, ICMP, 47, ANY));
            const U8 direction = static_cast<U8>(pick(IN, OUT));
            bool expected = false;
            for (const FilterElement &f : filters) {
                expected = expected || matchesPlainly(f, remote, protocol, direction);
            }
            probes++;
            filteredSeen += expected;
            ASSERT_EQ(IsFiltered(remote, protocol, direction), expected)
                << "set " << set << " frame " << frame << " (seed " << seed << ")";
        }
    }
    // Both answers must have been exercised well for the comparison to mean anything.
    EXPECT_GT(filteredSeen, probes / 10);
    EXPECT_LT(filteredSeen, probes - probes / 10);
}

TEST_F(FilterSetTest, CreationUnderAllocationFailureLeavesAnEmptyUnusableSet)
{
    DestroyFilters();
    const auto before = platform::accounting::counts();
    platform::faults::Scope faults;
    // Three allocations for the element pool, five for the tree and its node pool.
    for (unsigned n = 1; n <= 8; n++) {
        platform::faults::fail_nth(platform::faults::Kind::kmem_nosleep, n);
        EXPECT_NE(InitializeFilters(), 0) << "allocation " << n;
        EXPECT_EQ(platform::accounting::leaks_since(before), "") << "allocation " << n;
        platform::console::take();
        EXPECT_EQ(AddFilter(ip(10, 0, 0, 0), 8, TCP, EITHER), nullptr) << "allocation " << n;
        EXPECT_NE(FlushFilters(), 0) << "allocation " << n;
        EXPECT_FALSE(IsFiltered(ip(10, 0, 0, 1), TCP, IN)) << "allocation " << n;
        EXPECT_EQ(GetFilterCount(), 0u);
        DestroyFilters();
        platform::faults::reset();
    }
    platform::console::take();
    ASSERT_EQ(InitializeFilters(), 0) << "a later attempt starts from nothing";
    add(filter(ip(10, 0, 0, 0), 8, TCP, EITHER));
    EXPECT_TRUE(IsFiltered(ip(10, 0, 0, 1), TCP, IN));
}

// --- The per-frame check on real frame layouts ---------------------------------------------

using test_frames::Frame;
using test_frames::FrameShape;

TEST_F(FilterSetTest, CheckFilteredReadsTheRemoteAddressOfEachDirection)
{
    add(filter(ip(198, 18, 0, 0), 16, TCP, EITHER));
    const U32 remote = ip(198, 18, 5, 5), local = ip(198, 19, 0, 1);
    struct Case {
        const char *name;
        FrameShape shape;
        bool filtered;
    } cases[] = {
        {"inbound from the filtered network", {DIR_INBOUND, remote, local, TCP}, true},
        {"inbound to it (the source is remote)", {DIR_INBOUND, local, remote, TCP}, false},
        {"outbound to the filtered network", {DIR_OUTBOUND, local, remote, TCP}, true},
        {"outbound from it (the destination is remote)", {DIR_OUTBOUND, remote, local, TCP}, false},
        {"another protocol", {DIR_INBOUND, remote, local, UDP}, false},
        {"inbound behind a DL_UNITDATA_IND",
         {.dir = DIR_INBOUND, .src = remote, .dst = local, .unitdata = true},
         true},
        {"not IPv4", {.dir = DIR_INBOUND, .src = remote, .dst = local, .linkType = 0x0806}, false},
        {"IPv6 type",
         {.dir = DIR_OUTBOUND, .src = local, .dst = remote, .linkType = 0x86dd},
         false},
    };
    for (const Case &c : cases) {
        Frame frame(c.shape);
        EXPECT_EQ(CheckFiltered(frame.message(), c.shape.dir), c.filtered) << c.name;
    }
    ASSERT_EQ(FlushFilters(), 0);
    Frame frame(FrameShape{DIR_INBOUND, remote, local, TCP});
    EXPECT_FALSE(CheckFiltered(frame.message(), DIR_INBOUND)) << "an empty set filters nothing";
}

TEST_F(FilterSetTest, CheckFilteredTracesTheAddressAndProtocol)
{
    add(filter(ip(198, 18, 0, 0), 16, ANY, EITHER));
    traceLevel(16);
    Frame in(FrameShape{DIR_INBOUND, ip(198, 18, 1, 2), ip(198, 19, 0, 1), UDP});
    Frame out(FrameShape{DIR_OUTBOUND, ip(198, 19, 0, 1), ip(198, 18, 3, 4), TCP});
    EXPECT_TRUE(CheckFiltered(in.message(), DIR_INBOUND));
    EXPECT_TRUE(CheckFiltered(out.message(), DIR_OUTBOUND));
    EXPECT_EQ(platform::console::take(),
              "Checking packet filter collection for 198.18.1.2(17) inbound.\n"
              "Checking packet filter collection for 198.18.3.4(6) outbound.\n");
}

// Every frame length up to the last byte the check reads, in both directions and behind a
// control block: too short is not filtered, and nothing outside the block is read (the
// blocks are exactly the frame's size, so AddressSanitizer reports any stray read).
TEST_F(FilterSetTest, FramesTooShortForTheFixedOffsetsAreNotFiltered)
{
    add(filter(0, 0, ANY, EITHER));    // any IPv4 frame long enough is filtered
    const size_t fullLength = 14 + 20; // link header and the IP header up to the destination
    for (int dir : {DIR_INBOUND, DIR_OUTBOUND}) {
        for (bool unitdata : {false, true}) {
            for (size_t length = 0; length <= fullLength; length++) {
                FrameShape shape{.dir = dir,
                                 .src = ip(198, 18, 0, 1),
                                 .dst = ip(198, 18, 0, 2),
                                 .protocol = TCP,
                                 .length = length,
                                 .unitdata = unitdata};
                Frame frame(shape);
                EXPECT_EQ(CheckFiltered(frame.message(), dir), length == fullLength)
                    << "direction " << dir << " length " << length << " unitdata " << unitdata;
            }
        }
    }
}

TEST_F(FilterSetTest, FramesWithoutADataBlockOrWithAnLlcHeaderAreNotFiltered)
{
    add(filter(0, 0, ANY, EITHER));
    // A control block with nothing behind it.
    Frame control(FrameShape{.unitdata = true});
    control.message()->b_cont = nullptr;
    EXPECT_FALSE(CheckFiltered(control.message(), DIR_INBOUND));

    // 30 bytes in front of the read pointer and a length (0x0040) ten bytes before it: an
    // 802.3 header with LLC/SNAP, so offset 12 holds a length and the frame is not IPv4 here.
    std::vector<std::uint8_t> bytes(30 + 40, 0);
    bytes[30 - 10] = 0x00;
    bytes[30 - 9] = 0x40;
    Frame llc(bytes, 30);
    EXPECT_FALSE(CheckFiltered(llc.message(), DIR_INBOUND));

    // The same room with 0x0800 ten bytes back: an Ethernet header 14 bytes before the read
    // pointer, whose type field (bytes 16 and 17 of the buffer) says IPv4.
    std::vector<std::uint8_t> ether(30 + 40, 0);
    ether[30 - 10] = 0x08;
    ether[16 + 12] = 0x08; // the type field of the header that starts at 16
    ether[16 + 13] = 0x00;
    Frame ethernet(ether, 30);
    EXPECT_TRUE(CheckFiltered(ethernet.message(), DIR_INBOUND));
}

} // namespace
