// Flood protection and bypass: ignore entries match by address and protocol (255: any), a
// request renews or adds, ageing frees exactly the expired entries at most once per
// FloodAgeTime, allocation failure is reported, and the frame checks read nothing outside a
// block (frames built in exactly-sized blocks).
#include "nvxflood.h"

#include <gtest/gtest.h>

#include <sys/ddi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "accounting.h"
#include "clock.h"
#include "console_log.h"
#include "debug.h"
#include "faults.h"
#include "nvx.h"
#include "test_frames.h"

namespace
{

using test_frames::Frame;
using test_frames::FrameShape;
using test_frames::ip;

constexpr U32 TCP = 6, UDP = 17, ICMP = 1, ANY = FLOOD_ANY_PROTOCOL;
constexpr std::time_t T0 = 1'000'000;

const U32 A = ip(198, 18, 0, 1), B = ip(198, 18, 0, 2), C = ip(198, 18, 0, 3);

struct Entry {
    U32 ip;
    U32 protocol;
    std::time_t expiry;
    bool operator==(const Entry &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Entry &e)
{
    return os << std::hex << e.ip << std::dec << "/" << e.protocol << "@" << e.expiry;
}

// The list, head first (read while no other thread touches it).
std::vector<Entry> entries()
{
    std::vector<Entry> list;
    for (const FloodItem *item = FloodList; item != nullptr; item = item->next) {
        list.push_back({item->ip, item->protocol, item->time});
    }
    return list;
}

class FloodTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        InitFlood();
        setNow(T0);
        platform::console::take();
    }
    void TearDown() override
    {
        _debug(0);
        FiniFlood();
        platform::console::take();
    }
    static void setNow(std::time_t seconds) { platform::clock::set_wall_seconds(seconds); }
    static std::time_t now()
    {
        std::time_t seconds = 0;
        drv_getparm(TIME, &seconds);
        return seconds;
    }

    platform::clock::ManualScope clock_; // the time of day moves only when a test sets it
};

TEST_F(FloodTest, APeriodOfZeroMeansFloodAge)
{
    ASSERT_EQ(now(), T0);
    EXPECT_EQ(AddFlood(A, 0, TCP), 1);
    EXPECT_EQ(entries(), (std::vector<Entry>{{A, TCP, T0 + 60}}));
}

TEST_F(FloodTest, AnEntryMatchesItsAddressWithItsProtocolOrAnyProtocol)
{
    ASSERT_EQ(AddFlood(A, 30, TCP), 1);
    ASSERT_EQ(AddFlood(B, 30, ANY), 1);
    struct Probe {
        const char *name;
        U32 source;
        U32 protocol;
        bool ignored;
    } probes[] = {
        {"A, TCP", A, TCP, true},
        {"A, UDP: another protocol", A, UDP, false},
        {"C, TCP: another source with the entry's protocol", C, TCP, false},
        {"C, UDP", C, UDP, false},
        {"B, TCP: any protocol", B, TCP, true},
        {"B, UDP", B, UDP, true},
        {"B, ICMP", B, ICMP, true},
        {"A, 255: a frame's protocol 255 is not a wildcard", A, 255, false},
        {"C, 255", C, 255, false},
    };
    for (const Probe &p : probes) {
        EXPECT_EQ(TestFlood(p.source, p.protocol), p.ignored) << p.name;
    }
}

TEST_F(FloodTest, ARequestRenewsTheSameAddressAndProtocolAndOtherwiseAdds)
{
    _debug(1);
    _dsetlevel(FLOOD_TRACE_LEVEL, 2);
    char line[80];
    ASSERT_EQ(AddFlood(A, 10, TCP), 1);
    std::snprintf(line, sizeof line, "Adding flood protection for ip %x (10 secs)\n", A);
    EXPECT_EQ(platform::console::take(), line);
    ASSERT_EQ(AddFlood(B, 10, TCP), 1);
    platform::console::take();

    setNow(T0 + 5);
    EXPECT_EQ(AddFlood(A, 30, TCP), 1);
    std::snprintf(line, sizeof line, "Resetting flood protection for ip %x\n", A);
    EXPECT_EQ(platform::console::take(), line);
    EXPECT_EQ(entries(), (std::vector<Entry>{{B, TCP, T0 + 10}, {A, TCP, T0 + 35}}))
        << "renewed in place";

    EXPECT_EQ(AddFlood(A, 20, UDP), 1);
    std::snprintf(line, sizeof line, "Adding flood protection for ip %x (20 secs)\n", A);
    EXPECT_EQ(platform::console::take(), line);
    EXPECT_EQ(AddFlood(A, 20, ANY), 1);
    EXPECT_EQ(entries(),
              (std::vector<Entry>{
                  {A, ANY, T0 + 25}, {A, UDP, T0 + 25}, {B, TCP, T0 + 10}, {A, TCP, T0 + 35}}));
}

TEST_F(FloodTest, AgeingFreesExactlyTheExpiredEntries)
{
    // Newest first: B expiring at 15 in front of A expiring at 1000 (relative to T0), and
    // entries of mixed periods around them.
    ASSERT_EQ(AddFlood(A, 1000, TCP), 1);
    ASSERT_EQ(AddFlood(C, 12, UDP), 1);
    ASSERT_EQ(AddFlood(C, 500, TCP), 1);
    ASSERT_EQ(AddFlood(B, 15, TCP), 1);
    ASSERT_EQ(AddFlood(A, 20, UDP), 1); // expires at the pass's own second: still in force
    const auto before = platform::accounting::counts();
    AgeFlood(T0 + 20);
    EXPECT_EQ(entries(),
              (std::vector<Entry>{{A, UDP, T0 + 20}, {C, TCP, T0 + 500}, {A, TCP, T0 + 1000}}));
    EXPECT_EQ(before.kmem_live - platform::accounting::counts().kmem_live, 2u)
        << "the two expired entries were freed";
    EXPECT_TRUE(TestFlood(A, TCP));
    EXPECT_TRUE(TestFlood(C, TCP));
    EXPECT_FALSE(TestFlood(B, TCP));
    EXPECT_FALSE(TestFlood(C, UDP));

    AgeFlood(T0 + 2000);
    EXPECT_TRUE(entries().empty());
}

TEST_F(FloodTest, AnEntryExpiringNowStaysUntilAPassAfterItsSecond)
{
    ASSERT_EQ(AddFlood(A, 10, TCP), 1);
    AgeFlood(T0 + 10);
    EXPECT_TRUE(TestFlood(A, TCP)) << "expiry equal to the current second";
    AgeFlood(T0 + 11);
    EXPECT_TRUE(TestFlood(A, TCP)) << "expired, but the last pass was 1 second ago";
    AgeFlood(T0 + 19);
    EXPECT_TRUE(TestFlood(A, TCP)) << "9 seconds after the last pass";
    AgeFlood(T0 + 20);
    EXPECT_FALSE(TestFlood(A, TCP)) << "10 seconds after the last pass";
}

TEST_F(FloodTest, AtMostOnePassPerFloodAgeTime)
{
    AgeFlood(T0); // the first pass
    EXPECT_EQ(lastCheck, static_cast<U32>(T0));
    ASSERT_EQ(AddFlood(A, 1, TCP), 1);
    for (std::time_t t = T0 + 2; t < T0 + 10; t++) {
        AgeFlood(t);
        EXPECT_EQ(lastCheck, static_cast<U32>(T0)) << "no pass at " << t - T0;
        EXPECT_TRUE(TestFlood(A, TCP)) << t - T0;
    }
    AgeFlood(T0 + 10);
    EXPECT_EQ(lastCheck, static_cast<U32>(T0 + 10));
    EXPECT_FALSE(TestFlood(A, TCP));
}

TEST_F(FloodTest, AddFloodReportsAllocationFailure)
{
    ASSERT_EQ(AddFlood(A, 30, TCP), 1);
    platform::faults::Scope faults;
    platform::faults::fail_always(platform::faults::Kind::kmem_nosleep);
    EXPECT_EQ(AddFlood(B, 30, TCP), 0) << "a new entry needs memory";
    EXPECT_EQ(AddFlood(A, 30, UDP), 0) << "another protocol is a new entry";
    EXPECT_EQ(entries(), (std::vector<Entry>{{A, TCP, T0 + 30}})) << "unchanged";
    setNow(T0 + 7);
    EXPECT_EQ(AddFlood(A, 30, TCP), 1) << "a renewal needs none";
    EXPECT_EQ(entries(), (std::vector<Entry>{{A, TCP, T0 + 37}}));
}

TEST_F(FloodTest, AHugePeriodDoesNotWrapIntoThePast)
{
    ASSERT_EQ(AddFlood(A, 0xffffffffu, TCP), 1);
    ASSERT_EQ(entries().size(), 1u);
    EXPECT_GT(entries()[0].expiry, T0);
    AgeFlood(T0 + 100000);
    EXPECT_TRUE(TestFlood(A, TCP));
}

TEST_F(FloodTest, FiniFloodFreesTheEntriesLeft)
{
    const auto before = platform::accounting::counts();
    ASSERT_EQ(AddFlood(A, 30, TCP), 1);
    ASSERT_EQ(AddFlood(B, 30, TCP), 1);
    FiniFlood();
    EXPECT_EQ(platform::accounting::leaks_since(before), "");
    EXPECT_EQ(FloodList, nullptr);
    InitFlood(); // for the fixture's own FiniFlood
}

// --- The frame checks ------------------------------------------------------------------------

TEST_F(FloodTest, CheckFloodMatchesTheSourceAndAgesAsItGoes)
{
    // Empty list: answered at once, no pass.
    Frame fromA(FrameShape{DIR_INBOUND, A, C, TCP});
    EXPECT_FALSE(CheckFlood(fromA.message(), T0, DIR_INBOUND));
    EXPECT_EQ(lastCheck, 0u) << "no ageing while the list is empty";

    ASSERT_EQ(AddFlood(A, 30, TCP), 1);
    ASSERT_EQ(AddFlood(B, 5, ANY), 1);
    struct Case {
        const char *name;
        FrameShape shape;
        bool ignored;
    } cases[] = {
        {"from A, TCP", {DIR_INBOUND, A, C, TCP}, true},
        {"from A, UDP", {DIR_INBOUND, A, C, UDP}, false},
        {"to A (only the source counts)", {DIR_INBOUND, C, A, TCP}, false},
        {"from C, TCP", {DIR_INBOUND, C, B, TCP}, false},
        {"from B, ICMP", {DIR_INBOUND, B, C, static_cast<U8>(ICMP)}, true},
        {"from A behind a control block",
         {.dir = DIR_INBOUND, .src = A, .dst = C, .unitdata = true},
         true},
        {"from A, not IPv4", {.dir = DIR_INBOUND, .src = A, .dst = C, .linkType = 0x0806}, false},
        {"outbound from A, link header at the read pointer", {DIR_OUTBOUND, A, C, TCP}, true},
    };
    for (const Case &c : cases) {
        Frame frame(c.shape);
        EXPECT_EQ(CheckFlood(frame.message(), T0, c.shape.dir), c.ignored) << c.name;
    }
    EXPECT_EQ(lastCheck, static_cast<U32>(T0));

    // The frame's capture second drives ageing: B expires, A stays.
    Frame fromB(FrameShape{DIR_INBOUND, B, C, UDP});
    EXPECT_FALSE(CheckFlood(fromB.message(), T0 + 10, DIR_INBOUND));
    EXPECT_EQ(entries(), (std::vector<Entry>{{A, TCP, T0 + 30}}));
    EXPECT_TRUE(CheckFlood(fromA.message(), T0 + 10, DIR_INBOUND));
}

TEST_F(FloodTest, BypassPassesFramesToOrFromItsAddressInBothDirections)
{
    Frame inFromA(FrameShape{DIR_INBOUND, A, C, TCP});
    EXPECT_FALSE(BypassHandler(nullptr, inFromA.message(), DIR_INBOUND)) << "no bypass yet";

    SetBypass(A, 1);
    EXPECT_EQ(BypassIp, A);
    EXPECT_EQ(BypassPersistant, 1u);
    struct Case {
        const char *name;
        FrameShape shape;
        bool bypassed;
    } cases[] = {
        {"inbound from A", {DIR_INBOUND, A, C, TCP}, true},
        {"inbound to A", {DIR_INBOUND, C, A, UDP}, true},
        {"outbound from A", {DIR_OUTBOUND, A, C, TCP}, true},
        {"outbound to A", {DIR_OUTBOUND, C, A, static_cast<U8>(ICMP)}, true},
        {"neither end is A", {DIR_INBOUND, B, C, TCP}, false},
        {"outbound, neither end", {DIR_OUTBOUND, C, B, TCP}, false},
        {"inbound to A behind a control block",
         {.dir = DIR_INBOUND, .src = C, .dst = A, .unitdata = true},
         true},
        {"not IPv4", {.dir = DIR_OUTBOUND, .src = A, .dst = C, .linkType = 0x86dd}, false},
    };
    for (const Case &c : cases) {
        Frame frame(c.shape);
        EXPECT_EQ(BypassHandler(nullptr, frame.message(), c.shape.dir), c.bypassed) << c.name;
        EXPECT_EQ(CheckBypass(frame.message(), c.shape.dir), c.bypassed) << c.name;
    }

    SetBypass(0, 0);
    EXPECT_FALSE(CheckBypass(inFromA.message(), DIR_INBOUND)) << "address 0 ends the bypass";
}

// Every frame length up to the last byte read, both directions, bare or behind a control
// block: too short never matches, and AddressSanitizer proves nothing outside is read.
TEST_F(FloodTest, FramesTooShortForTheFixedOffsetsMatchNothing)
{
    ASSERT_EQ(AddFlood(A, 30, ANY), 1);
    SetBypass(A, 0);
    const size_t fullLength = 14 + 20;
    for (int dir : {DIR_INBOUND, DIR_OUTBOUND}) {
        for (bool unitdata : {false, true}) {
            for (size_t length = 0; length <= fullLength; length++) {
                Frame frame(FrameShape{.dir = dir,
                                       .src = A,
                                       .dst = A,
                                       .protocol = TCP,
                                       .length = length,
                                       .unitdata = unitdata});
                const bool whole = length == fullLength;
                EXPECT_EQ(CheckFlood(frame.message(), T0, dir), whole)
                    << "direction " << dir << " length " << length << " unitdata " << unitdata;
                EXPECT_EQ(CheckBypass(frame.message(), dir), whole)
                    << "direction " << dir << " length " << length << " unitdata " << unitdata;
            }
        }
    }
    Frame control(FrameShape{.src = A, .unitdata = true});
    control.message()->b_cont = nullptr;
    EXPECT_FALSE(CheckFlood(control.message(), T0, DIR_INBOUND)) << "no data block";
    EXPECT_FALSE(CheckBypass(control.message(), DIR_INBOUND)) << "no data block";
}

} // namespace
