// Control operations against the real host: ignore and bypass records as the driver receives
// them, parameter keys (prefixes, the 101-character value, null arguments), filters pushed
// middle element first, purge without a device, and the stubs.
#include "lib_host.h"
#include "lib_trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using libtest::LibHost;
using libtest::StderrCapture;

namespace
{

// Sets NVX_ROOT to a directory no host serves, so any call that opened the device gets 1000.
void without_host()
{
    ::setenv("NVX_ROOT", "/nonexistent/nvx-libtest", 1);
}

class ControlTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.start({"hme0,backend=sink"}, {"hme0"})) << host.error();
        // Filter tables are process globals: start every case from empty ones.
        ASSERT_EQ(PurgePacketFilters(), PACKET_SUCCESS);
    }
    void TearDown() override
    {
        PacketTerminate();
        GlobalReadThreshold = 0;
    }
    // The netmasks of the filters the driver added, in the order it added them, from the
    // console lines written after the text mark.
    std::vector<int> added_netmasks(size_t from)
    {
        std::string c = host.console().substr(from);
        std::vector<int> masks;
        const std::string key = "INFO:  added filter; ip = ";
        for (size_t at = c.find(key); at != std::string::npos; at = c.find(key, at + 1)) {
            size_t nm = c.find("netmask = ", at);
            masks.push_back(std::atoi(c.c_str() + nm + 10));
        }
        return masks;
    }

    LibHost host;
};

} // namespace

TEST_F(ControlTest, IgnoreSendsTheTimeFirstAndNeedsNoAdapter)
{
    ASSERT_EQ(PacketSetParameter("debug.level", "0x8"), PACKET_SUCCESS); // flood trace
    EXPECT_EQ(PacketIgnore(0xc6120101, 30, 6), PACKET_SUCCESS);
    EXPECT_TRUE(host.await_console("Adding flood protection for ip c6120101 (30 secs)"))
        << host.console();
    without_host();
    EXPECT_EQ(PacketIgnore(0, 30, 6), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(PacketIgnore(0xc6120101, 30, 6), PACKETERR_DRIVER_NOT_FOUND);
}

TEST_F(ControlTest, BypassNeedsAnOpenAdapterAndANonZeroAddress)
{
    PKTINITPARMS p = {};
    p.ulMajorRevision = 2;
    ASSERT_EQ(PacketInit(&p), PACKET_SUCCESS);
    ADAPTER_INFO a = {};
    std::strcpy(a.szDeviceName, "hme0");
    EXPECT_EQ(PacketBypass(&a, 0xc6120102, 1), PACKETERR_GENERAL); // not open
    ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    EXPECT_EQ(PacketBypass(&a, 0, 1), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(PacketBypass(nullptr, 0xc6120102, 1), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(PacketBypass(&a, 0xc6120102, 1), PACKET_SUCCESS);
    EXPECT_TRUE(host.await_console("Setting a bypass for c6120102")) << host.console();
    // The adapter records are this body's locals: close them while they still exist.
    EXPECT_EQ(PacketTerminate(), PACKET_SUCCESS);
}

TEST_F(ControlTest, ParameterKeysValuesAndPrefixes)
{
    std::string v100(100, '7'), v101(101, '7');
    struct Case {
        const char *key;
        const char *value;
        int expected;
    } cases[] = {
        {"timeout", v101.c_str(), PACKETERR_BAD_PARAMETERS}, // whatever the key
        {"nosuchkey", v101.c_str(), PACKETERR_BAD_PARAMETERS},
        {"timeout", v100.c_str(), PACKET_SUCCESS},
        {"timeout", "10", PACKET_SUCCESS},
        {"timeoutXYZ", "10", PACKET_SUCCESS},
        {"threshold", "50", PACKET_SUCCESS},
        {"debug.level", "0", PACKET_SUCCESS},
        {"debug.enable", "0", PACKET_SUCCESS},
        {"debug.dump", nullptr, PACKET_SUCCESS}, // the three dump keys read no value
        {"debug.stats", nullptr, PACKET_SUCCESS},
        {"debug.queues", nullptr, PACKET_SUCCESS},
        {"timeout", nullptr, PACKETERR_BAD_PARAMETERS},
        {"readThreshold", nullptr, PACKETERR_BAD_PARAMETERS},
        {"debug.file", nullptr, PACKETERR_BAD_PARAMETERS},
        {nullptr, "1", PACKETERR_BAD_PARAMETERS},
        {"time", "10", PACKETERR_BAD_PARAMETERS}, // a prefix of a key is not the key
        {"", "10", PACKETERR_BAD_PARAMETERS},
    };
    for (const Case &c : cases)
        EXPECT_EQ(PacketSetParameter(c.key, c.value), c.expected)
            << (c.key ? c.key : "(null)") << " " << (c.value ? strlen(c.value) : 0);
}

TEST_F(ControlTest, DumpKeysReachTheDriver)
{
    std::string before = host.console();
    int stats = libtest::count_of(before, "Capture Statistics:");
    ASSERT_EQ(PacketSetParameter("debug.dump", "ignored"), PACKET_SUCCESS);
    EXPECT_TRUE(host.await_console("Capture Statistics:"));
    ASSERT_EQ(PacketSetParameter("debug.stats", nullptr), PACKET_SUCCESS);
    std::string after = host.console();
    EXPECT_EQ(libtest::count_of(after, "Capture Statistics:"), stats + 2) << after;
}

TEST_F(ControlTest, LibraryOnlyKeysContactNoDriver)
{
    without_host();
    EXPECT_EQ(PacketSetParameter("readThreshold", "0x10"), PACKET_SUCCESS);
    EXPECT_EQ(GlobalReadThreshold, 16);
    EXPECT_EQ(PacketSetParameter("readThreshold", "010"), PACKET_SUCCESS);
    EXPECT_EQ(GlobalReadThreshold, 8);
    EXPECT_EQ(PacketSetParameter("nosuchkey", "1"), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(PacketSetParameter("timeout", "1"), PACKETERR_DRIVER_NOT_FOUND);
    // "debug.enable" switches the library's trace before the driver is contacted.
    EXPECT_EQ(PacketSetParameter("debug.enable", "1"), PACKETERR_DRIVER_NOT_FOUND);
    EXPECT_EQ(debugging, 1);
    EXPECT_STREQ(dheader, "NVX");
    EXPECT_EQ(dheader_flags, 7);
    EXPECT_EQ(PacketSetParameter("debug.enable", "0"), PACKETERR_DRIVER_NOT_FOUND);
    EXPECT_EQ(debugging, 0);
}

TEST_F(ControlTest, SevenFiltersAreSentMiddleFirst)
{
    // One address, netmasks 8..14 added out of order; sorted by netmask they are indices 0..6.
    for (int mask : {14, 9, 12, 8, 11, 13, 10})
        ASSERT_EQ(AddPacketFilter(0xc6120000, static_cast<U8>(mask), 6, 1), PACKET_SUCCESS);
    ASSERT_EQ(PacketSetParameter("debug.level", "2"), PACKET_SUCCESS); // filter trace
    size_t mark = host.console().size();
    StderrCapture err;
    EXPECT_EQ(PushAllPacketFilters(), PACKET_SUCCESS);
    EXPECT_EQ(err.finish(), "Pushing 7 single-protocol packet filters to driver.\n");
    // Indices 3, 1, 0, 2, 5, 4, 6.
    EXPECT_EQ(added_netmasks(mark), (std::vector<int>{11, 9, 8, 10, 13, 12, 14})) << host.console();
}

TEST_F(ControlTest, AllProtocolTableGoesFirstThenTheSingleProtocolOne)
{
    ASSERT_EQ(AddPacketFilter(0xc6120000, 17, 17, 1), PACKET_SUCCESS);
    ASSERT_EQ(AddPacketFilter(0xc6120000, 22, 255, 1), PACKET_SUCCESS);
    ASSERT_EQ(AddPacketFilter(0xc6120000, 16, 6, 1), PACKET_SUCCESS);
    ASSERT_EQ(AddPacketFilter(0xc6120000, 20, 255, 1), PACKET_SUCCESS);
    ASSERT_EQ(AddPacketFilter(0xc6120000, 21, 255, 1), PACKET_SUCCESS);
    ASSERT_EQ(PacketSetParameter("debug.level", "2"), PACKET_SUCCESS);
    size_t mark = host.console().size();
    StderrCapture err;
    EXPECT_EQ(PushAllPacketFilters(), PACKET_SUCCESS);
    EXPECT_EQ(err.finish(), "Pushing 3 multiple-protocol packet filters to driver.\n"
                            "Pushing 2 single-protocol packet filters to driver.\n");
    // Middle, first, last of the three; then the upper of the two, then the lower.
    EXPECT_EQ(added_netmasks(mark), (std::vector<int>{21, 20, 22, 17, 16})) << host.console();

    // The tables keep their contents: a second push sends the same filters again.
    mark = host.console().size();
    StderrCapture again;
    EXPECT_EQ(PushAllPacketFilters(), PACKET_SUCCESS);
    again.finish();
    EXPECT_EQ(added_netmasks(mark), (std::vector<int>{21, 20, 22, 17, 16}));
}

TEST_F(ControlTest, AddressZeroStopsThePush)
{
    ASSERT_EQ(AddPacketFilter(0xc6120200, 24, 6, 1), PACKET_SUCCESS);
    ASSERT_EQ(AddPacketFilter(0, 25, 6, 1), PACKET_SUCCESS); // stored; refused when pushed
    ASSERT_EQ(AddPacketFilter(0xc6120300, 26, 6, 1), PACKET_SUCCESS);
    ASSERT_EQ(PacketSetParameter("debug.level", "2"), PACKET_SUCCESS);
    size_t mark = host.console().size();
    StderrCapture err;
    // Sorted: 0, .2.0, .3.0. The middle one goes first, then the walk meets address 0.
    EXPECT_EQ(PushAllPacketFilters(), PACKETERR_BAD_PARAMETERS);
    err.finish();
    EXPECT_EQ(added_netmasks(mark), (std::vector<int>{24}));
}

TEST_F(ControlTest, TablesHoldThirtyTwoFiltersInAnyMix)
{
    for (int i = 0; i < 32; i++)
        ASSERT_EQ(
            AddPacketFilter(0xc6120000 + static_cast<U32>(i << 8), 24, i % 3 == 0 ? 255 : 6, 0),
            PACKET_SUCCESS)
            << i;
    EXPECT_EQ(AddPacketFilter(0xc6130000, 24, 255, 0), PACKETERR_MAX_FILTERS_EXCEEDED);
    EXPECT_EQ(AddPacketFilter(0xc6130000, 24, 6, 0), PACKETERR_MAX_FILTERS_EXCEEDED);
    StderrCapture err;
    EXPECT_EQ(PushAllPacketFilters(), PACKET_SUCCESS);
    EXPECT_EQ(err.finish(), "Pushing 11 multiple-protocol packet filters to driver.\n"
                            "Pushing 21 single-protocol packet filters to driver.\n");
}

TEST_F(ControlTest, PurgeEmptiesTheLocalTablesWithoutADevice)
{
    ASSERT_EQ(AddPacketFilter(0xc6120000, 24, 6, 0), PACKET_SUCCESS);
    ASSERT_EQ(AddPacketFilter(0xc6120000, 24, 255, 0), PACKET_SUCCESS);
    without_host();
    StderrCapture err;
    EXPECT_EQ(PurgePacketFilters(), PACKETERR_DRIVER_NOT_FOUND);
    EXPECT_EQ(PushAllPacketFilters(), PACKET_SUCCESS); // nothing left to push
    EXPECT_EQ(err.finish(), "Unable to purge packet fiilters:  driver not found.\n");
    // A push that cannot reach the driver reports it.
    ASSERT_EQ(AddPacketFilter(0xc6120000, 24, 6, 0), PACKET_SUCCESS);
    StderrCapture err2;
    EXPECT_EQ(PushAllPacketFilters(), PACKETERR_DRIVER_NOT_FOUND);
    EXPECT_EQ(err2.finish(), "Pushing 1 single-protocol packet filters to driver.\n"
                             "Unable to push packet filter:  driver not found.\n");
    PurgePacketFilters();
}

TEST(LibraryStubs, EveryStubReturnsNotImplemented)
{
    ADAPTER_INFO a = {};
    PACKET_BUFFER pb = {};
    U8 frame[4] = {};
    U32 n = 0;
    ADAPTER_STATISTICS st = {};
    EXPECT_EQ(PacketInject(&a, &pb, 4, frame, 0), PACKETERR_NOT_IMPLEMENTED);
    EXPECT_EQ(PacketInject(nullptr, nullptr, 0, nullptr, 0), PACKETERR_NOT_IMPLEMENTED);
    EXPECT_EQ(PacketClientCount(&n), PACKETERR_NOT_IMPLEMENTED);
    EXPECT_EQ(PacketSetNotifyRoutine(nullptr), PACKETERR_NOT_IMPLEMENTED);
    EXPECT_EQ(PacketSetIdsFeatures(&a, &n), PACKETERR_NOT_IMPLEMENTED);
    EXPECT_EQ(PacketGetStatistics(&a, &st, 1), PACKETERR_NOT_IMPLEMENTED);
}
