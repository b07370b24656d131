// Library setup and adapters against the real host with nvx loaded: the version handshake and
// root check, the adapter list and its sizes, open modes and refusals, close and terminate.
#include "lib_host.h"
#include "lib_trace.h"
#include "packetLib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using libtest::LibHost;
using libtest::open_record;
using libtest::TraceFile;

namespace
{

constexpr unsigned kPerAdapter = sizeof(void *) + sizeof(ADAPTER_INFO);
const unsigned char kMac0[6] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};

PKTINITPARMS init_params(U32 major)
{
    PKTINITPARMS p = {};
    p.ulMajorRevision = major;
    p.ulMinorRevision = 7; // never compared
    return p;
}

// The entry trace line of a call that takes one pointer ("%s: %x\n").
std::string libtest_hex_line(const char *call, const void *p)
{
    char line[64];
    std::snprintf(line, sizeof line, "%s: %x\n", call,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
    return line;
}

ADAPTER_INFO named(const char *name)
{
    ADAPTER_INFO a = {};
    std::strncpy(a.szDeviceName, name, sizeof a.szDeviceName - 1);
    return a;
}

// Two interfaces of one driver, both plumbed (so both are listed), and the library set up.
class SetupTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.start({"hme0,backend=sink,mac=02:00:5e:10:00:01,mtu=1500",
                                "hme1,backend=sink,mac=02:00:5e:10:00:02,mtu=1400"},
                               {"hme0", "hme1"}))
            << host.error();
        PKTINITPARMS p = init_params(2);
        ASSERT_EQ(PacketInit(&p), PACKET_SUCCESS);
    }
    void TearDown() override { PacketTerminate(); }

    LibHost host;
};

} // namespace

TEST(LibraryVersion, ReportsTwoZeroAndInitWantsMajorTwoBeforeTouchingTheDevice)
{
    U32 major = 9, minor = 9;
    EXPECT_EQ(PacketGetVersion(&major, &minor), PACKET_SUCCESS);
    EXPECT_EQ(major, 2u);
    EXPECT_EQ(minor, 0u);

    // No host at this root: a call that opened the device would answer 1000.
    ::setenv("NVX_ROOT", "/nonexistent/nvx-libtest", 1);
    for (U32 bad : {1u, 3u}) {
        PKTINITPARMS p = init_params(bad);
        EXPECT_EQ(PacketInit(&p), PACKETERR_BAD_VERSION) << bad;
    }
    EXPECT_EQ(PacketInit(nullptr), PACKETERR_BAD_PARAMETERS);
    PKTINITPARMS good = init_params(2);
    EXPECT_EQ(PacketInit(&good), PACKETERR_DRIVER_NOT_FOUND);
    EXPECT_EQ(pListLock, nullptr);
}

TEST(LibraryVersion, NonRootIsRefusedBeforeAnyArgumentCheck)
{
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setuid(65534) != 0)
            ::_exit(100);
        ::_exit(PacketInit(nullptr) == PACKETERR_GENERAL ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SetupTest, DriverAnswersTheHandshakeAndARepeatedInitKeepsOpenAdapters)
{
    ADAPTER_INFO a = named("hme0");
    ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    PKTINITPARMS p = init_params(2);
    EXPECT_EQ(PacketInit(&p), PACKET_SUCCESS);
    EXPECT_EQ(pListLock, &ListLock);
    EXPECT_NE(open_record(&a), nullptr);
    EXPECT_EQ(PacketClose(&a), PACKET_SUCCESS);
}

TEST_F(SetupTest, AdapterListFillsRecordsBehindThePointers)
{
    std::vector<unsigned char> buf(3 * kPerAdapter, 0xab);
    ADAPTER_INFO **list = nullptr;
    int n = -1;
    ASSERT_EQ(PacketGetAdapterList(buf.data(), static_cast<int>(buf.size()), &list, &n),
              PACKET_SUCCESS);
    ASSERT_EQ(n, 2);
    ASSERT_EQ(static_cast<void *>(list), static_cast<void *>(buf.data()));
    for (int i = 0; i < n; i++) {
        ADAPTER_INFO *a = list[i];
        EXPECT_EQ(reinterpret_cast<unsigned char *>(a),
                  buf.data() + 2 * sizeof(void *) + i * sizeof(ADAPTER_INFO));
        EXPECT_EQ(a->ulSize, 224u);
        EXPECT_EQ(a->ulProperties, 0x1u | 0x8u);
        EXPECT_EQ(a->ulMedium, 6u);
        EXPECT_EQ(a->ulNumCards, 1u);
        EXPECT_EQ(a->aCardInfo[0].ulLinkSpeed, 100000000u);
        EXPECT_EQ(a->ulAddressLength, 6u);
        EXPECT_EQ(a->ulReadCount, 0u);
        EXPECT_EQ(a->aulReserved[0], 0u);
        EXPECT_EQ(a->ulMajorVersion, 0u);
    }
    // Driver order is registration order: hme0 then hme1.
    EXPECT_STREQ(list[0]->szDeviceName, "hme0");
    EXPECT_STREQ(list[1]->szDeviceName, "hme1");
    EXPECT_EQ(std::memcmp(list[0]->aCardInfo[0].aucMacAddress, kMac0, 6), 0);
    EXPECT_EQ(list[0]->ulMaxPacketSize, 1500u);
    EXPECT_EQ(list[1]->ulRcvBufferSize, 1400u);
    EXPECT_EQ(list[1]->ulTotalFrameElementSize, 1400u);
    // The rest of the caller's buffer is zeroed.
    for (size_t i = 2 * kPerAdapter; i < buf.size(); i++)
        ASSERT_EQ(buf[i], 0) << i;

    // A listed record opens as it is.
    EXPECT_EQ(PacketOpen(list[1], 0), PACKET_SUCCESS);
    EXPECT_EQ(list[1]->ulProperties, 0x1u | 0x2u | 0x8u);
    EXPECT_EQ(PacketClose(list[1]), PACKET_SUCCESS);
}

TEST_F(SetupTest, AdapterListTooSmallStoresTheByteCountAndWritesNothingElse)
{
    struct Case {
        int size;
        int expected;
    } cases[] = {
        {0, PACKETERR_BAD_PARAMETERS},
        {-1, PACKETERR_BAD_PARAMETERS},
        {static_cast<int>(kPerAdapter), PACKETERR_BUFFER_TOO_SMALL},
        {static_cast<int>(2 * kPerAdapter - 1), PACKETERR_BUFFER_TOO_SMALL},
        {static_cast<int>(2 * kPerAdapter), PACKET_SUCCESS},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> buf(3 * kPerAdapter, 0xab);
        ADAPTER_INFO **list = reinterpret_cast<ADAPTER_INFO **>(0x1234);
        int n = -1;
        EXPECT_EQ(PacketGetAdapterList(buf.data(), c.size, &list, &n), c.expected) << c.size;
        if (c.expected == PACKETERR_BUFFER_TOO_SMALL) {
            // 228 bytes per adapter with 4-byte pointers, 232 with 8-byte ones.
            EXPECT_EQ(n, static_cast<int>(2 * (sizeof(void *) == 4 ? 228 : 232)));
            EXPECT_EQ(list, reinterpret_cast<ADAPTER_INFO **>(0x1234));
            for (unsigned char b : buf)
                ASSERT_EQ(b, 0xab);
        } else if (c.expected == PACKETERR_BAD_PARAMETERS) {
            EXPECT_EQ(n, -1);
        } else {
            EXPECT_EQ(n, 2);
        }
    }
    ADAPTER_INFO **list = nullptr;
    int n = 0;
    unsigned char buf[512];
    EXPECT_EQ(PacketGetAdapterList(nullptr, 512, &list, &n), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(PacketGetAdapterList(buf, 512, nullptr, &n), PACKETERR_BAD_PARAMETERS);
    EXPECT_EQ(PacketGetAdapterList(buf, 512, &list, nullptr), PACKETERR_BAD_PARAMETERS);
}

TEST(LibraryAdapters, NoBoundAdapterListsNothingAndZeroesTheBuffer)
{
    LibHost host;
    ASSERT_TRUE(host.start({"hme0,backend=sink"}, {})) << host.error();
    PKTINITPARMS p = init_params(2);
    ASSERT_EQ(PacketInit(&p), PACKET_SUCCESS);
    std::vector<unsigned char> buf(kPerAdapter, 0xab);
    ADAPTER_INFO **list = nullptr;
    int n = -1;
    EXPECT_EQ(PacketGetAdapterList(buf.data(), static_cast<int>(buf.size()), &list, &n),
              PACKET_SUCCESS);
    EXPECT_EQ(n, 0);
    for (unsigned char b : buf)
        ASSERT_EQ(b, 0);
    PacketTerminate();
}

TEST_F(SetupTest, OpenModesAndRefusals)
{
    struct Case {
        const char *name;
        U32 mode;
        int expected;
        unsigned long mode_used;
    } cases[] = {
        {"hme0", 0x00, PACKET_SUCCESS, 0x10}, // 0 becomes MODE_INLINE
        {"hme0", 0x10, PACKET_SUCCESS, 0x10},
        {"hme0", 0x20, PACKET_SUCCESS, 0x20},
        {"hme0", 0x30, PACKET_SUCCESS, 0x30},
        {"hme0", 0x40, PACKETERR_BAD_PARAMETERS, 0},
        {"hme0", 0x11, PACKETERR_BAD_PARAMETERS, 0},
        {"hme7", 0x10, PACKETERR_GENERAL, 0},                      // the driver's ENODEV becomes 1
        {"averyverylongname0", 0x10, PACKETERR_BAD_PARAMETERS, 0}, // does not fit ppaname
    };
    for (const Case &c : cases) {
        ADAPTER_INFO a = named(c.name);
        EXPECT_EQ(PacketOpen(&a, c.mode), c.expected) << c.name << " " << c.mode;
        if (c.expected != PACKET_SUCCESS) {
            EXPECT_EQ(a.aulReserved[0], 0u);
            continue;
        }
        PPAData *ppa = open_record(&a);
        ASSERT_NE(ppa, nullptr);
        EXPECT_NE(a.aulReserved[0], 0u);
        EXPECT_EQ(ppa->ulMode, c.mode_used);
        EXPECT_EQ(ppa->pAdapter, &a);
        EXPECT_EQ(a.ulSize, 224u);
        EXPECT_EQ(a.ulMedium, 6u);
        EXPECT_EQ(std::memcmp(a.aCardInfo[0].aucMacAddress, kMac0, 6), 0);
        EXPECT_EQ(PacketClose(&a), PACKET_SUCCESS);
    }
    EXPECT_EQ(PacketOpen(nullptr, 0), PACKETERR_BAD_PARAMETERS);
}

TEST_F(SetupTest, AlreadyOpenRecordAndAdapterOpenedTwice)
{
    TraceFile trace;
    ADAPTER_INFO a = named("hme0");
    a.aulReserved[0] = 1; // set by hand: refused without contacting the driver
    EXPECT_EQ(PacketOpen(&a, 0x10), PACKETERR_ADAPTER_ALREADY_OPEN);
    EXPECT_EQ(trace.count("PacketOpen: The adapter hme0 already open!\n"), 1);
    a.aulReserved[0] = 0;
    ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);

    // A second record of the same adapter: the driver refuses (EEXIST), reported as 1.
    ADAPTER_INFO b = named("hme0");
    EXPECT_EQ(PacketOpen(&b, 0x10), PACKETERR_GENERAL);
    EXPECT_EQ(trace.count("NVX_OPEN_IOCTL ioctl failed, "), 1);
    EXPECT_EQ(trace.count("errno: 17\n"), 1);
    EXPECT_EQ(b.aulReserved[0], 0u);
    EXPECT_EQ(pList, open_record(&a));
    EXPECT_EQ(pList->pNext, nullptr);
    EXPECT_EQ(PacketClose(&a), PACKET_SUCCESS);
}

TEST_F(SetupTest, CloseOfACapturingAdapterUnmapsAndASecondCloseIsNotOpen)
{
    TraceFile trace;
    ADAPTER_INFO a = named("hme0");
    ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    ASSERT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKET_SUCCESS);
    PPAData *ppa = open_record(&a);
    ASSERT_NE(ppa, nullptr);
    RcvBuffer *region = ppa->pRcvBuf;
    ASSERT_NE(region, nullptr);
    EXPECT_EQ(PacketClose(&a), PACKET_SUCCESS);
    EXPECT_EQ(a.aulReserved[0], 0u);
    EXPECT_EQ(a.ulProperties & 0x2u, 0x2u); // stays set; the cleared link makes it closed
    EXPECT_EQ(pList, nullptr);
    EXPECT_EQ(PacketClose(&a), PACKETERR_GENERAL);
    EXPECT_EQ(trace.count("PacketClose: The adapter hme0 is not open\n"), 1);
    // The same record opens again, and so does the adapter at once.
    EXPECT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    EXPECT_EQ(PacketClose(&a), PACKET_SUCCESS);
    EXPECT_EQ(PacketClose(nullptr), PACKETERR_BAD_PARAMETERS);
}

TEST_F(SetupTest, AStaleOrAlteredLinkIsNotOpenAndNeverFollowed)
{
    ADAPTER_INFO a = named("hme0");
    ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    ADAPTER_INFO copy = a; // a copy of an open record works while the adapter is open
    EXPECT_EQ(open_record(&copy), open_record(&a));
    ASSERT_EQ(PacketClose(&a), PACKET_SUCCESS);
    // The copy still holds the old link: closed, not a dangling record.
    EXPECT_EQ(open_record(&copy), nullptr);
    PACKET_BUFFER *pb = nullptr;
    EXPECT_EQ(PacketRead(&copy, 0, &pb), PACKETERR_GENERAL);
    EXPECT_EQ(PacketCreateRx(&copy, 8192, 0x10), PACKETERR_GENERAL);
    EXPECT_EQ(PacketClose(&copy), PACKETERR_GENERAL);
    copy.aulReserved[0] = 0xdeadbeef;
    EXPECT_EQ(PacketCloseRx(&copy), PACKETERR_GENERAL);
}

TEST_F(SetupTest, TerminateClosesEveryAdapterNewestFirstThenOpenWantsInit)
{
    TraceFile trace;
    ADAPTER_INFO a = named("hme0"), b = named("hme1");
    ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    ASSERT_EQ(PacketOpen(&b, 0x20), PACKET_SUCCESS);
    ASSERT_EQ(PacketCreateRx(&b, 8192, 0x04), PACKET_SUCCESS);
    EXPECT_EQ(pList->pAdapter, &b);
    EXPECT_EQ(PacketTerminate(), PACKET_SUCCESS);
    EXPECT_EQ(pList, nullptr);
    EXPECT_EQ(pListLock, nullptr);
    EXPECT_EQ(a.aulReserved[0], 0u);
    EXPECT_EQ(b.aulReserved[0], 0u);
    std::string t = trace.text();
    size_t first = t.find(libtest_hex_line("PacketClose", &b));
    size_t second = t.find(libtest_hex_line("PacketClose", &a));
    ASSERT_NE(first, std::string::npos) << t;
    ASSERT_NE(second, std::string::npos) << t;
    EXPECT_LT(first, second);

    EXPECT_EQ(PacketOpen(&a, 0x10), PACKETERR_GENERAL);
    EXPECT_EQ(trace.count("PacketOpen: Packet Library not initialized\n"), 1);
    EXPECT_EQ(PacketClose(&a), PACKETERR_GENERAL);
    ADAPTER_INFO **list = nullptr;
    int n = 0;
    unsigned char buf[512];
    EXPECT_EQ(PacketGetAdapterList(buf, 512, &list, &n), PACKETERR_GENERAL);
    EXPECT_EQ(PacketTerminate(), PACKET_SUCCESS); // also when not initialised
    PKTINITPARMS p = init_params(2);
    ASSERT_EQ(PacketInit(&p), PACKET_SUCCESS);
    EXPECT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    // Both adapters open again at once: the driver ended the sessions with the streams.
    EXPECT_EQ(PacketOpen(&b, 0x10), PACKET_SUCCESS);
    // The adapter records are this body's locals: close them while they still exist.
    EXPECT_EQ(PacketTerminate(), PACKET_SUCCESS);
}

TEST_F(SetupTest, TerminateEndsARecordThatCloseRefuses)
{
    ADAPTER_INFO a = named("hme0");
    ASSERT_EQ(PacketOpen(&a, 0x10), PACKET_SUCCESS);
    ASSERT_EQ(PacketCreateRx(&a, 8192, 0x10), PACKET_SUCCESS);
    a.ulProperties &= ~0x2u; // altered by the caller: PacketClose refuses it
    EXPECT_EQ(PacketClose(&a), PACKETERR_GENERAL);
    EXPECT_EQ(PacketTerminate(), PACKET_SUCCESS);
    EXPECT_EQ(pList, nullptr);
    EXPECT_EQ(a.aulReserved[0], 0u);
    // Its descriptor was closed, so the adapter is free in the driver.
    PKTINITPARMS p = init_params(2);
    ASSERT_EQ(PacketInit(&p), PACKET_SUCCESS);
    ADAPTER_INFO again = named("hme0");
    EXPECT_EQ(PacketOpen(&again, 0x10), PACKET_SUCCESS);
    // The adapter records are this body's locals: close them while they still exist.
    EXPECT_EQ(PacketTerminate(), PACKET_SUCCESS);
}

TEST_F(SetupTest, PrintIoctlErrorNamesTheFirstCommandsOnly)
{
    TraceFile trace;
    errno = 22;
    printIoctlError(0x7003);
    errno = 12;
    printIoctlError(0x700C);
    std::string t = trace.text();
    EXPECT_EQ(libtest::count_of(t, "NVX_OPEN_IOCTL ioctl failed, "), 1) << t;
    EXPECT_EQ(libtest::count_of(t, "errno: 22\n"), 1) << t;
    EXPECT_EQ(libtest::count_of(t, "errno: 12\n"), 1) << t;
    EXPECT_EQ(libtest::count_of(t, "ioctl failed"), 1) << t;
}

TEST(LibraryServices, DevicePpaReadsTheTrailingUnit)
{
    struct Case {
        const char *name;
        int ppa;
    } cases[] = {{"hme0", 0}, {"qfe12", 12}, {"e1000g3", 3}, {"le", 0}, {"abc1x", 0}, {"", 0}};
    for (const Case &c : cases)
        EXPECT_EQ(device_ppa(c.name), c.ppa) << c.name;
}

TEST(LibraryServices, RecordLayouts)
{
    EXPECT_EQ(sizeof(ADAPTER_INFO), 224u);
    EXPECT_EQ(offsetof(ADAPTER_INFO, hUserContext), 168u);
    EXPECT_EQ(offsetof(ADAPTER_INFO, aulReserved), 180u);
    EXPECT_STREQ(deviceName, "/dev/nvx");
}
