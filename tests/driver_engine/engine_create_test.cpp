// Creating and closing a capture session: sizes, capture flags, refusals and every allocation
// failure, each leaving the adapter without a session and nothing allocated.
#include "engine_fixture.h"

#include "console_log.h"
#include "faults.h"

#include <sys/umem.h>

#include <cerrno>
#include <cstring>

namespace engine_test
{
namespace
{

using platform::faults::Kind;

constexpr U32 kPacketInfoSize = sizeof(void *) == 8 ? 72 : 48;

class EngineCreateTest : public EngineTest
{
};

TEST_F(EngineCreateTest, DefaultSizeAndFormulasForA1500ByteAdapter)
{
    platform::console::take();
    CreateRxData reply{};
    ASSERT_EQ(create(0, CM_PROMISCUOUS, &reply), 0);
    EXPECT_EQ(reply.ulBufSize, 0x400000u) << "the reply carries the default size";
    EXPECT_EQ(reply.ulFlag, static_cast<U32>(CM_PROMISCUOUS));
    SessionInfo *s = sip();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->RcvBufferSize, 0x400000u);
    EXPECT_EQ(s->maxpktsize, 1564u);
    EXPECT_EQ(s->maxpktbufsize, 1564u + kPacketInfoSize + 32);
    EXPECT_EQ(s->maxpktbufsize, sizeof(void *) == 8 ? 1668u : 1644u);
    EXPECT_EQ(s->ulCaptureSize, sizeof(void *) == 8 ? 2514u : 2551u);
    EXPECT_EQ(s->uThreshold, 0x400000u / 2);
    EXPECT_EQ(s->lTimeOut, 10);
    EXPECT_EQ(gip()->ulFlags & (GI_CAPTURING | GI_SUSPENDED), static_cast<U32>(GI_CAPTURING));
    EXPECT_NE(s->timeout_id, nullptr) << "the session timer is armed";
    EXPECT_NE(rb()->lLastTime, 0u);
    EXPECT_EQ(CircularQueueBufferSize(shared_queue()), 0x400000u - 384);
    EXPECT_TRUE(CircularQueueIsEmpty(shared_queue()));
    const std::string log = platform::console::take();
    EXPECT_NE(log.find("create_rx_ioctl: invalid buffer size, using default 0x400000 ppaname "
                       "vnet0\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("NVX: Starting capture 0x"), std::string::npos) << log;
    EXPECT_NE(log.find("ppaname vnet0: BufSize 0x400000\n"), std::string::npos) << log;
}

struct SizeCase {
    const char *name;
    U32 requested;
    U32 region; // 0: refused with ENOMEM
    U32 replySize;
};

TEST_F(EngineCreateTest, RegionSizesRoundToPagesAndNeverWrap)
{
    const SizeCase cases[] = {
        {"below the minimum", 8191, 0x400000, 0x400000},
        {"the minimum, one page", 8192, 8192, 8192},
        {"rounded up to two pages", 8193, 16384, 8193},
        {"page rounding overflows 32 bits", 0xFFFFFFFFu, 0, 0},
        {"one byte over the last page", 0xFFFFE001u, 0, 0},
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE(c.name);
        platform::console::take();
        CreateRxData reply{};
        const int rc = create(c.requested, CM_INLINE, &reply);
        if (c.region == 0) {
            EXPECT_EQ(rc, ENOMEM);
            EXPECT_EQ(sip(), nullptr);
            EXPECT_NE(platform::console::take().find(
                          "create_rx_ioctl: failed to alloc memory for receive buffer"),
                      std::string::npos);
            continue;
        }
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(sip()->RcvBufferSize, c.region);
        EXPECT_EQ(reply.ulBufSize, c.replySize);
        EXPECT_EQ(close_rx(), 0);
    }
}

TEST_F(EngineCreateTest, CaptureFlagsOutside0x17AreRefused)
{
    struct FlagCase {
        U32 flags;
        int rc;
    };
    const FlagCase cases[] = {{0x08, EINVAL}, {0x20, EINVAL}, {0x80000000u, EINVAL},
                              {0x17, 0},      {0x00, 0},      {CM_DIRECTED | CM_BROADCAST, 0}};
    for (const FlagCase &c : cases) {
        SCOPED_TRACE(c.flags);
        platform::console::take();
        EXPECT_EQ(create(8192, c.flags), c.rc);
        if (c.rc != 0) {
            EXPECT_EQ(sip(), nullptr);
            char line[96];
            std::snprintf(line, sizeof line, "create_rx_ioctl: invalid ulFlag %x, q ", c.flags);
            EXPECT_NE(platform::console::take().find(line), std::string::npos);
        } else {
            EXPECT_EQ(sip()->ulCaptureMode, c.flags);
            EXPECT_EQ(close_rx(), 0);
        }
    }
}

TEST_F(EngineCreateTest, MissingOrShortRequestRecord)
{
    platform::console::take();
    EXPECT_EQ(create_raw(nullptr), EINVAL);
    EXPECT_NE(platform::console::take().find("create_rx_ioctl: no data passed in, bip "),
              std::string::npos);
    mblk_t *shortRecord = allocb(7, BPRI_MED);
    shortRecord->b_wptr += 7;
    EXPECT_EQ(create_raw(shortRecord), EINVAL);
    EXPECT_NE(platform::console::take().find("create_rx_ioctl: invalid data, q "),
              std::string::npos);
    EXPECT_EQ(sip(), nullptr);
}

TEST_F(EngineCreateTest, SecondSessionIsRefusedAndFirstStays)
{
    ASSERT_EQ(create(8192, CM_INLINE), 0);
    SessionInfo *first = sip();
    platform::console::take();
    EXPECT_EQ(create(8192, CM_INLINE), EEXIST);
    EXPECT_NE(platform::console::take().find("create_rx_ioctl: capture session already exist bip "),
              std::string::npos);
    EXPECT_EQ(sip(), first);
}

TEST_F(EngineCreateTest, EveryAllocationFailureIsENOMEMAndLeavesNothing)
{
    struct FailCase {
        const char *name;
        Kind kind;
        unsigned nth;
        const char *message;
    };
    const FailCase cases[] = {
        {"session record", Kind::kmem_nosleep, 1, "create_rx_ioctl: memory allocation failed"},
        {"region", Kind::umem, 1, "create_rx_ioctl: failed to alloc memory for receive buffer"},
        {"staging queue", Kind::kmem_nosleep, 2,
         "create_rx_ioctl: failed to alloc memory for receive queue"},
        {"frame record", Kind::kmem_nosleep, 3,
         "create_rx_ioctl: failed to alloc memory for frame record"},
    };
    for (const FailCase &c : cases) {
        SCOPED_TRACE(c.name);
        platform::faults::Scope faults;
        platform::console::take();
        platform::faults::fail_nth(c.kind, c.nth);
        EXPECT_EQ(create(8192, CM_INLINE), ENOMEM);
        EXPECT_EQ(platform::faults::injected(c.kind), 1u);
        EXPECT_EQ(sip(), nullptr);
        EXPECT_EQ(gip()->ulFlags & GI_CAPTURING, 0u);
        EXPECT_NE(platform::console::take().find(c.message), std::string::npos);
    }
    // And the adapter is usable afterwards.
    EXPECT_EQ(create(8192, CM_INLINE), 0);
}

TEST_F(EngineCreateTest, CloseWithoutSessionOrAdapter)
{
    platform::console::take();
    EXPECT_EQ(close_rx(), EINVAL);
    EXPECT_NE(platform::console::take().find("close_rx_ioctl: no capture session, bip "),
              std::string::npos);
    ASSERT_EQ(create(8192, CM_INLINE), 0);
    EXPECT_EQ(close_rx(), 0);
    EXPECT_EQ(sip(), nullptr);
    EXPECT_EQ(gip()->ulFlags & GI_CAPTURING, 0u);
    const std::string log = platform::console::take();
    EXPECT_NE(log.find(", captured: 0, lost: 0\n\tbytes: 0\n"), std::string::npos) << log;
    EXPECT_NE(log.find("flush_queue: staged=0 shm=0 final=0\n"), std::string::npos) << log;
}

TEST_F(EngineCreateTest, CreateWithoutOpenAdapter)
{
    rw_enter(&nvx_rwlock, RW_WRITER);
    BindingInfo *dev = static_cast<BindingInfo *>(device_wq()->q_ptr);
    dev->openInfo = nullptr;
    rw_exit(&nvx_rwlock);
    platform::console::take();
    EXPECT_EQ(create(8192, CM_INLINE), EINVAL);
    EXPECT_NE(platform::console::take().find("create_rx_ioctl: no capture, bip "),
              std::string::npos);
    EXPECT_EQ(close_rx(), EINVAL);
    EXPECT_NE(platform::console::take().find("close_rx_ioctl: no open capture, bip "),
              std::string::npos);
    rw_enter(&nvx_rwlock, RW_WRITER);
    dev->openInfo = gip();
    rw_exit(&nvx_rwlock);
}

} // namespace
} // namespace engine_test
