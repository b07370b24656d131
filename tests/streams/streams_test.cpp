// Stream heads, queues, linkage, SAD and devmap, exercised with the test driver and modules.
#include "test_driver.h"

#include "autopush.h"
#include "devmap.h"
#include "modules.h"
#include "queue_pair.h"
#include "stream_head.h"

#include "console_log.h"
#include "nvx_testing.h"

#include <sys/modctl.h>
#include <sys/sad.h>
#include <sys/sunddi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using namespace platform::streams;
using platform::streams::load_next;
using ::testing::ElementsAre;

namespace
{

const Caller kRoot{1000, 0, 0, IOC_ILP32};
const Caller kUser{1001, 100, 100, IOC_LP64};

class StreamsTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(tdrv::install(), 0);
        ASSERT_EQ(tdrv::install_modules(), 0);
        tdrv::take_log();
        platform::sad::clear_all();
    }
    void TearDown() override
    {
        platform::sad::clear_all();
        tdrv::uninstall_modules();
        tdrv::uninstall();
    }
    FilePtr open_ok(const std::string &path, int oflag = FREAD | FWRITE, const Caller &c = kRoot)
    {
        FilePtr f;
        EXPECT_EQ(open(path, oflag, c, &f), 0) << path;
        return f;
    }
    major_t tdrv_major() { return static_cast<major_t>(platform::ddi::find_major("tdrv")); }
};

TEST_F(StreamsTest, CloneOpensPickDistinctMinorsAndReuseTheLowestFree)
{
    FilePtr a = open_ok("/dev/tdrv"), b = open_ok("/dev/tdrv"), c = open_ok("/dev/tdrv");
    EXPECT_EQ(getminor(a->dev()), 0u);
    EXPECT_EQ(getminor(b->dev()), 1u);
    EXPECT_EQ(getminor(c->dev()), 2u);
    EXPECT_EQ(getmajor(a->dev()), tdrv_major());
    b.reset();
    FilePtr d = open_ok("/dev/tdrv"), e = open_ok("/dev/tdrv");
    EXPECT_EQ(getminor(d->dev()), 1u);
    EXPECT_EQ(getminor(e->dev()), 3u);
    EXPECT_EQ(tdrv::take_log()[0], "open tdrv 0 sflag 2"); // CLONEOPEN
}

TEST_F(StreamsTest, NormalOpenKeepsTheMinorAndReopensTheSameStream)
{
    FilePtr a = open_ok("/dev/tdrv_n5");
    EXPECT_EQ(getminor(a->dev()), 5u);
    FilePtr b = open_ok("/dev/tdrv_n5");
    EXPECT_EQ(b->stream(), a->stream());
    a.reset(); // not the last close
    EXPECT_THAT(tdrv::take_log(), ElementsAre("open tdrv 5 sflag 0", "reopen tdrv 5"));
    b.reset();
    EXPECT_THAT(tdrv::take_log(), ElementsAre("close tdrv 5"));
}

TEST_F(StreamsTest, OpenErrors)
{
    FilePtr f;
    EXPECT_EQ(open("/dev/nosuch", FREAD, kRoot, &f), ENOENT);
    EXPECT_EQ(open("/dev/tplain", FREAD, kRoot, &f), ENOSTR);
    EXPECT_EQ(open("/dev/sad/admin", FREAD, kUser, &f), EPERM);
}

TEST_F(StreamsTest, PushPopListFind)
{
    FilePtr f = open_ok("/dev/tdrv");
    EXPECT_EQ(f->push("tmodA"), 0);
    EXPECT_EQ(f->push("tmodB"), 0);
    std::vector<std::string> names;
    ASSERT_EQ(f->list(&names), 0);
    EXPECT_THAT(names, ElementsAre("tmodB", "tmodA", "tdrv"));
    bool found = false;
    EXPECT_EQ(f->find("tmodA", &found), 0);
    EXPECT_TRUE(found);
    EXPECT_EQ(f->find("tsrv", &found), 0);
    EXPECT_FALSE(found);
    EXPECT_EQ(f->find("waytoolongname", &found), EINVAL);
    EXPECT_EQ(f->push("nosuch"), EINVAL);
    EXPECT_EQ(f->push("waytoolongname"), EINVAL);
    EXPECT_EQ(f->pop(), 0);
    ASSERT_EQ(f->list(&names), 0);
    EXPECT_THAT(names, ElementsAre("tmodA", "tdrv"));
    EXPECT_EQ(f->pop(), 0);
    EXPECT_EQ(f->pop(), EINVAL);
    EXPECT_THAT(tdrv::take_log(), ElementsAre("open tdrv 0 sflag 2", "open tmodA sflag 1",
                                              "open tmodB sflag 1", "close tmodB", "close tmodA"));
}

// ---- SAD ----

struct strapush_v1 {
    struct apcommon c;
    char list[MAXAPUSH][FMNAMESZ + 1];
    uint_t anchor;
};
static_assert(sizeof(strapush_v1) == STRAPUSH_V1_SIZE);

strapush_v1 sap(uint_t cmd, major_t major, minor_t minor, minor_t last,
                std::vector<const char *> mods)
{
    strapush_v1 r;
    memset(&r, 0, sizeof r);
    r.c = {cmd, major, minor, last, static_cast<uint_t>(mods.size())};
    for (size_t i = 0; i < mods.size() && i < MAXAPUSH; ++i)
        snprintf(r.list[i], sizeof r.list[i], "%s", mods[i]);
    return r;
}

int sad_ioctl(StreamFile &f, int cmd, strapush_v1 *r, size_t len = sizeof(strapush_v1))
{
    IoctlResult res;
    return f.ioctl_str(cmd, 0, r, len, r, sizeof *r, &res);
}

TEST_F(StreamsTest, AutopushPushesInOrderAndClosesTopDown)
{
    FilePtr admin = open_ok("/dev/sad/admin");
    strapush_v1 r = sap(SAP_ALL, tdrv_major(), 0, 0, {"tmodA", "tmodB"});
    ASSERT_EQ(sad_ioctl(*admin, SAD_SAP_V1, &r), 0);
    tdrv::take_log();
    {
        FilePtr f = open_ok("/dev/tdrv");
        std::vector<std::string> names;
        ASSERT_EQ(f->list(&names), 0);
        EXPECT_THAT(names, ElementsAre("tmodB", "tmodA", "tdrv"));
    }
    EXPECT_THAT(tdrv::take_log(),
                ElementsAre("open tdrv 0 sflag 2", "open tmodA sflag 1", "open tmodB sflag 1",
                            "close tmodB", "close tmodA", "close tdrv 0"));
    // The configuration is read back whole.
    strapush_v1 g = sap(0, tdrv_major(), 9, 0, {});
    ASSERT_EQ(sad_ioctl(*admin, SAD_GAP_V1, &g), 0);
    EXPECT_EQ(g.c.apc_cmd, unsigned{SAP_ALL});
    EXPECT_EQ(g.c.apc_npush, 2u);
    EXPECT_STREQ(g.list[0], "tmodA");
    EXPECT_STREQ(g.list[1], "tmodB");
    EXPECT_EQ(g.list[2][0], 0);
}

TEST_F(StreamsTest, SadErrorsFollowThePlatform)
{
    FilePtr admin = open_ok("/dev/sad/admin");
    major_t maj = tdrv_major();
    major_t plain = static_cast<major_t>(platform::ddi::find_major("tplain"));
    struct Case {
        const char *name;
        int cmd;
        strapush_v1 rec;
        int expected;
    } cases[] = {
        {"unknown major", SAD_SAP_V1, sap(SAP_ONE, 9999, 0, 0, {"tmodA"}), EINVAL},
        {"not STREAMS", SAD_SAP_V1, sap(SAP_ONE, plain, 0, 0, {"tmodA"}), ENOSTR},
        {"no modules", SAD_SAP_V1, sap(SAP_ONE, maj, 0, 0, {}), EINVAL},
        {"unknown module", SAD_SAP_V1, sap(SAP_ONE, maj, 0, 0, {"nosuch"}), EINVAL},
        {"bad command", SAD_SAP_V1, sap(7, maj, 0, 0, {"tmodA"}), EINVAL},
        {"empty range", SAD_SAP_V1, sap(SAP_RANGE, maj, 4, 4, {"tmodA"}), ERANGE},
        {"set one", SAD_SAP_V1, sap(SAP_ONE, maj, 3, 0, {"tmodA"}), 0},
        {"again", SAD_SAP_V1, sap(SAP_ONE, maj, 3, 0, {"tmodB"}), EEXIST},
        {"all overlaps", SAD_SAP_V1, sap(SAP_ALL, maj, 0, 0, {"tmodB"}), EEXIST},
        {"set range", SAD_SAP_V1, sap(SAP_RANGE, maj, 10, 20, {"tmodB"}), 0},
        {"range overlaps", SAD_SAP_V1, sap(SAP_RANGE, maj, 20, 30, {"tmodB"}), EEXIST},
        {"clear unset", SAD_SAP_V1, sap(SAP_CLEAR, maj, 4, 0, {}), ENODEV},
        {"clear mid-range", SAD_SAP_V1, sap(SAP_CLEAR, maj, 12, 0, {}), ERANGE},
        {"clear range", SAD_SAP_V1, sap(SAP_CLEAR, maj, 10, 0, {}), 0},
        {"get cleared", SAD_GAP_V1, sap(0, maj, 12, 0, {}), ENODEV},
        {"get one", SAD_GAP_V1, sap(0, maj, 3, 0, {}), 0},
        {"get unknown major", SAD_GAP_V1, sap(0, 9999, 0, 0, {}), EINVAL},
        {"get version 0", SAD_GAP_V0, sap(0, maj, 3, 0, {}), 0},
    };
    for (Case &c : cases)
        EXPECT_EQ(sad_ioctl(*admin, c.cmd, &c.rec), c.expected) << c.name;
    strapush_v1 g = sap(0, maj, 3, 0, {});
    ASSERT_EQ(sad_ioctl(*admin, SAD_GAP_V1, &g), 0);
    EXPECT_EQ(g.c.apc_cmd, unsigned{SAP_ONE});
    EXPECT_STREQ(g.list[0], "tmodA");
    // Too many modules, a short record, and the unprivileged node.
    strapush_v1 nine = sap(SAP_ONE, maj, 40, 0, {"tmodA"});
    nine.c.apc_npush = 9;
    EXPECT_EQ(sad_ioctl(*admin, SAD_SAP_V1, &nine), EINVAL);
    strapush_v1 s = sap(SAP_ONE, maj, 41, 0, {"tmodA"});
    EXPECT_EQ(sad_ioctl(*admin, SAD_SAP_V1, &s, 10), EFAULT);
    FilePtr user = open_ok("/dev/sad/user", FREAD, kUser);
    EXPECT_EQ(sad_ioctl(*user, SAD_SAP_V1, &s), EPERM);
    strapush_v1 gu = sap(0, maj, 3, 0, {});
    EXPECT_EQ(sad_ioctl(*user, SAD_GAP_V1, &gu), 0);
    // Autopush applies to the configured minor only.
    FilePtr n5 = open_ok("/dev/tdrv_n5");
    std::vector<std::string> names;
    ASSERT_EQ(n5->list(&names), 0);
    EXPECT_THAT(names, ElementsAre("tdrv"));
}

// ---- ioctl ----

TEST_F(StreamsTest, IoctlAckCarriesDataRvalAndTheCallersModel)
{
    FilePtr f = open_ok("/dev/tdrv", FREAD | FWRITE, kUser);
    char out[16] = {};
    IoctlResult r;
    ASSERT_EQ(f->ioctl_str(tdrv::TD_ECHO, 0, "hello", 5, out, sizeof out, &r), 0);
    EXPECT_EQ(r.rval, 42);
    EXPECT_EQ(r.len, 5u);
    EXPECT_EQ(std::string(out, 5), "hello");
    // The reply is cut to the caller's buffer.
    ASSERT_EQ(f->ioctl_str(tdrv::TD_ECHO, 0, "hello", 5, out, 3, &r), 0);
    EXPECT_EQ(r.len, 3u);
    tdrv::Info info{};
    ASSERT_EQ(f->ioctl_str(tdrv::TD_INFO, 0, "xy", 2, &info, sizeof info, &r), 0);
    EXPECT_EQ(info.ioc_flag, unsigned{IOC_LP64});
    EXPECT_EQ(info.pid, kUser.pid);
    EXPECT_EQ(info.uid, 100);
    EXPECT_EQ(info.count, 2);
}

TEST_F(StreamsTest, IoctlErrors)
{
    FilePtr f = open_ok("/dev/tdrv");
    IoctlResult r;
    int eio = EPROTO;
    EXPECT_EQ(f->ioctl_str(tdrv::TD_NAK, 0, &eio, sizeof eio, nullptr, 0, &r), EPROTO);
    int zero = 0;
    EXPECT_EQ(f->ioctl_str(tdrv::TD_NAK, 0, &zero, sizeof zero, nullptr, 0, &r), EINVAL);
    EXPECT_EQ(f->ioctl_str(tdrv::TD_ACK_ERR, 0, nullptr, 0, nullptr, 0, &r), EIO);
    EXPECT_EQ(f->ioctl_str(0x999, 0, nullptr, 0, nullptr, 0, &r), EINVAL);
}

TEST_F(StreamsTest, IoctlTimesOutAndTheLateReplyIsDiscarded)
{
    FilePtr f = open_ok("/dev/tdrv");
    IoctlResult r;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(f->ioctl_str(tdrv::TD_HOLD, 1, nullptr, 0, nullptr, 0, &r), ETIME);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(900));
    ASSERT_TRUE(tdrv::ack_held(getminor(f->dev()))); // stale: freed by the stream head
    char out[8] = {};
    ASSERT_EQ(f->ioctl_str(tdrv::TD_ECHO, 0, "new", 3, out, sizeof out, &r), 0);
    EXPECT_EQ(r.rval, 42);
    EXPECT_EQ(std::string(out, 3), "new");
    EXPECT_EQ(f->messages_waiting(), 0u);
}

TEST_F(StreamsTest, InterruptEndsTheIoctlWaitAndTheDriversSleep)
{
    FilePtr f = open_ok("/dev/tdrv");
    for (int cmd : {int{tdrv::TD_HOLD}, int{tdrv::TD_SLEEP}}) {
        auto result = std::async(std::launch::async, [&] {
            IoctlResult r;
            return f->ioctl_str(cmd, INFTIM, nullptr, 0, nullptr, 0, &r);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        f->interrupt();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(result.get(), EINTR) << std::hex << cmd;
    }
}

// ---- putmsg / getmsg ----

TEST_F(StreamsTest, PutmsgHighPriorityRunsTheDriversPutInTheCallersThread)
{
    FilePtr f = open_ok("/dev/tdrv", FREAD | FWRITE, kUser);
    char req[4] = {1, 2, 3, 4};
    struct strbuf ctl = {0, 4, req};
    ASSERT_EQ(f->putmsg(&ctl, nullptr, RS_HIPRI), 0);
    tdrv::LastProto p = tdrv::last_proto(); // already there: putmsg returned after the put
    EXPECT_EQ(p.type, M_PCPROTO);
    EXPECT_EQ(p.bytes, std::string(req, 4));
    EXPECT_EQ(p.thread, std::this_thread::get_id());
    EXPECT_EQ(p.pid, kUser.pid);
    ASSERT_EQ(f->putmsg(&ctl, nullptr, 0), 0);
    EXPECT_EQ(tdrv::last_proto().type, M_PROTO);
    // Errors.
    struct strbuf data = {0, 2, req};
    EXPECT_EQ(f->putmsg(nullptr, &data, RS_HIPRI), EINVAL);
    EXPECT_EQ(f->putmsg(&ctl, nullptr, 0x10), EINVAL);
    std::vector<char> big(2000);
    struct strbuf bigctl = {0, 2000, big.data()};
    EXPECT_EQ(f->putmsg(&bigctl, nullptr, 0), ERANGE);
}

TEST_F(StreamsTest, GetmsgReturnsPartsAndKeepsWhatDidNotFit)
{
    FilePtr f = open_ok("/dev/tdrv");
    char c[] = "echo";
    char d[] = "0123456789";
    struct strbuf ctl = {0, 4, c}, data = {0, 10, d};
    ASSERT_EQ(f->putmsg(&ctl, &data, 0), 0); // the driver echoes "echo" messages
    EXPECT_EQ(f->messages_waiting(), 1u);
    char cb[8], db[4];
    struct strbuf gc = {sizeof cb, 0, cb}, gd = {sizeof db, 0, db};
    int flags = 0, more = 0;
    ASSERT_EQ(f->getmsg(&gc, &gd, &flags, &more, 0), 0);
    EXPECT_EQ(std::string(cb, static_cast<size_t>(gc.len)), "echo");
    EXPECT_EQ(std::string(db, static_cast<size_t>(gd.len)), "0123");
    EXPECT_EQ(more, MOREDATA);
    ASSERT_EQ(f->getmsg(&gc, &gd, &flags, &more, 0), 0);
    EXPECT_EQ(gc.len, -1);
    EXPECT_EQ(std::string(db, static_cast<size_t>(gd.len)), "4567");
    char rb[16];
    size_t got = 0;
    ASSERT_EQ(f->read(rb, sizeof rb, &got, 0), 0);
    EXPECT_EQ(std::string(rb, got), "89");
    EXPECT_EQ(f->getmsg(&gc, &gd, &flags, &more, 0), EAGAIN);
    EXPECT_EQ(f->getmsg(&gc, &gd, &flags, &more, 50), ETIME);
    EXPECT_EQ(f->messages_received(), 1u);
    // M_FLUSH from the top flushes the driver and loops back to flush the head.
    ASSERT_EQ(f->write("abc", 3), 0);
    EXPECT_EQ(f->messages_waiting(), 1u);
    ASSERT_EQ(f->flush(FLUSHRW), 0);
    EXPECT_EQ(f->messages_waiting(), 0u);
}

// ---- flow control ----

TEST_F(StreamsTest, CanputnextFollowsTheHeadsWaterMarks)
{
    FilePtr f = open_ok("/dev/tdrv");
    queue_t *drq = f->driver_rq();
    std::string kb(1000, 'x');
    int sent = 0;
    while (canputnext(drq) && sent < 100) {
        f->inject_up(platform::testing::make_message(kb));
        ++sent;
    }
    EXPECT_EQ(sent, (STRHIGH + 999) / 1000); // 6 x 1000 bytes reach the 5120 high-water mark
    // A high-priority message still passes.
    f->inject_up(platform::testing::make_message("hi", M_PCPROTO));
    char buf[1000];
    struct strbuf d = {sizeof buf, 0, buf};
    int flags = 0, more = 0;
    ASSERT_EQ(f->getmsg(nullptr, &d, &flags, &more, 0), 0);
    EXPECT_EQ(flags, RS_HIPRI); // the high-priority one comes first...
    EXPECT_EQ(more, MORECTL);   // ...and stays, as no control buffer was given
    struct strbuf c = {sizeof buf, 0, buf};
    flags = 0;
    ASSERT_EQ(f->getmsg(&c, &d, &flags, nullptr, 0), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(c.len)), "hi");
    // QFULL holds until q_count drops below the high-water mark: 6000 bytes are still waiting.
    EXPECT_FALSE(canputnext(drq));
    flags = 0;
    ASSERT_EQ(f->getmsg(nullptr, &d, &flags, nullptr, 0), 0);
    EXPECT_TRUE(canputnext(drq)); // 5000 < 5120
}

TEST_F(StreamsTest, ServiceModuleQueuesFlowControlsAndBackEnablesTheWriter)
{
    FilePtr f = open_ok("/dev/tdrv", FREAD | FWRITE | FNDELAY);
    ASSERT_EQ(f->push("tsrv"), 0);
    queue_t *swq = WR(load_next(f->head_wq()));
    noenable(swq); // messages pile up on tsrv's write queue
    char d[60] = {};
    struct strbuf data = {0, 60, d};
    EXPECT_EQ(f->putmsg(nullptr, &data, 0), 0);
    EXPECT_EQ(f->putmsg(nullptr, &data, 0), 0); // 120 bytes >= hiwat 100: full
    EXPECT_EQ(swq->q_flag & QFULL, unsigned{QFULL});
    EXPECT_EQ(f->putmsg(nullptr, &data, 0), EAGAIN);
    EXPECT_EQ(qsize(swq), 2);
    enableok(swq);
    qenable(swq); // the service thread drains it to the driver, which echoes it up
    for (int i = 0; i < 200 && f->messages_waiting() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(f->messages_waiting(), 2u);
    EXPECT_EQ(f->putmsg(nullptr, &data, 0), 0);
}

TEST_F(StreamsTest, QprocsoffRoutesMessagesAroundTheModule)
{
    FilePtr f = open_ok("/dev/tdrv");
    ASSERT_EQ(f->push("tmodA"), 0);
    queue_t *mrq = load_next(f->driver_rq());
    long before = tdrv::moda_puts.load();
    f->inject_up(platform::testing::make_message("up"));
    EXPECT_EQ(tdrv::moda_puts.load(), before + 1);
    qprocsoff(mrq);
    f->inject_up(platform::testing::make_message("up2"));
    ASSERT_EQ(f->write("down", 4), 0); // echoed by the driver
    EXPECT_EQ(tdrv::moda_puts.load(), before + 1);
    EXPECT_EQ(f->messages_waiting(), 3u);
    // A put procedure of the bypassed pair can still pass messages on.
    putnext(mrq, platform::testing::make_message("from-off"));
    EXPECT_EQ(f->messages_waiting(), 4u);
}

// ---- linkage ----

TEST_F(StreamsTest, ModRemoveIsRefusedWhileStreamsUseTheDriverOrModule)
{
    FilePtr f = open_ok("/dev/tdrv");
    EXPECT_EQ(platform::modules::unload("tdrv"), EBUSY);
    EXPECT_TRUE(platform::modules::loaded("tdrv"));
    ASSERT_EQ(f->push("tmodB"), 0);
    EXPECT_EQ(platform::modules::unload("tmods"), EBUSY);
    ASSERT_EQ(f->pop(), 0);
    EXPECT_EQ(platform::modules::unload("tmods"), 0);
    f.reset();
    EXPECT_EQ(platform::modules::unload("tdrv"), 0);
    FilePtr g;
    EXPECT_EQ(open("/dev/tdrv", FREAD, kRoot, &g), ENOENT);
    // The major number stays with the name across reloads.
    major_t before = static_cast<major_t>(platform::ddi::find_major("tdrv"));
    ASSERT_EQ(tdrv::install(), 0);
    ASSERT_EQ(tdrv::install_modules(), 0);
    EXPECT_EQ(static_cast<major_t>(platform::ddi::find_major("tdrv")), before);
    FilePtr h = open_ok("/dev/tdrv");
    EXPECT_EQ(getmajor(h->dev()), before);
    EXPECT_NE(platform::ddi::name_to_major_text().find("tdrv " + std::to_string(before) + "\n"),
              std::string::npos);
}

TEST_F(StreamsTest, ModInfoReportsTheLinkTexts)
{
    struct modinfo mi;
    ASSERT_NE(platform::modules::info("tmods", &mi), 0);
    EXPECT_STREQ(mi.mi_name, "tmods");
    EXPECT_STREQ(mi.mi_msinfo[0].msi_linkinfo, "module A");
    EXPECT_STREQ(mi.mi_msinfo[2].msi_linkinfo, "service module");
    ASSERT_NE(platform::modules::info("tdrv", &mi), 0);
    EXPECT_EQ(mi.mi_msinfo[0].msi_p0, static_cast<int>(tdrv_major()));
}

// ---- devices ----

TEST(DeviceNumbers, SplitAndCombineByWordSize)
{
    dev_t d = makedevice(7, 12345);
    EXPECT_EQ(getmajor(d), 7u);
    EXPECT_EQ(getminor(d), 12345u);
    if (sizeof(void *) == 8)
        EXPECT_EQ(d, (dev_t{7} << 32) | 12345);
    else
        EXPECT_EQ(d, (dev_t{7} << 18) | 12345);
    EXPECT_EQ(getminor(makedevice(1, MAXMIN32)), sizeof(void *) == 8 ? MAXMIN32 : MAXMIN32);
}

TEST_F(StreamsTest, DevmapExportsTheDriversRegionThroughAMemfd)
{
    FilePtr f = open_ok("/dev/tdrv");
    Mapping m;
    ASSERT_EQ(f->mmap(0, 100, &m), 0);
    EXPECT_EQ(m.length, size_t{PAGESIZE}); // rounded to whole 8 KiB pages
    EXPECT_EQ(m.offset, 0);
    void *u = ::mmap(nullptr, m.length, PROT_READ | PROT_WRITE, MAP_SHARED, m.fd, m.offset);
    ASSERT_NE(u, MAP_FAILED);
    void *k = tdrv::region(getminor(f->dev()));
    ASSERT_NE(k, nullptr);
    EXPECT_NE(u, k); // another address, the same bytes
    EXPECT_EQ(memcmp(u, "region", 6), 0);
    memcpy(u, "sensor", 6);
    EXPECT_EQ(memcmp(k, "sensor", 6), 0);
    munmap(u, m.length);
    ::close(m.fd);
    Mapping second;
    ASSERT_EQ(f->mmap(PAGESIZE, PAGESIZE, &second), 0); // the last page exactly
    EXPECT_EQ(second.offset, PAGESIZE);
    ::close(second.fd);
    EXPECT_EQ(f->mmap(0, tdrv::kRegionSize + 1, &m), ENXIO);
    FilePtr sad = open_ok("/dev/sad/admin");
    EXPECT_EQ(sad->mmap(0, PAGESIZE, &m), ENODEV);
}

TEST(DevmapUmemSetup, AcceptsOnlyPageAlignedRangesInsideTheAllocation)
{
    ddi_umem_cookie_t c;
    ASSERT_NE(ddi_umem_alloc(2 * PAGESIZE, DDI_UMEM_SLEEP, &c), nullptr);
    auto *cb = reinterpret_cast<struct devmap_callback_ctl *>(&c);
    struct Case {
        const char *name;
        ddi_umem_cookie_t cookie;
        struct devmap_callback_ctl *callbacks;
        offset_t koff;
        size_t len;
        uint_t flags;
        int expected;
    } cases[] = {
        {"whole", c, nullptr, 0, 2 * PAGESIZE, 0, 0},
        {"last page", c, nullptr, PAGESIZE, PAGESIZE, 0, 0},
        {"beyond", c, nullptr, PAGESIZE, 2 * PAGESIZE, 0, -1},
        {"unaligned offset", c, nullptr, 100, PAGESIZE, 0, -1},
        {"unaligned length", c, nullptr, 0, 100, 0, -1},
        {"empty", c, nullptr, 0, 0, 0, -1},
        {"no cookie", nullptr, nullptr, 0, PAGESIZE, 0, -1},
        {"callbacks", c, cb, 0, PAGESIZE, 0, -1},
        {"flags", c, nullptr, 0, PAGESIZE, DEVMAP_ALLOW_REMAP, -1},
    };
    for (const Case &k : cases) {
        devmap_handle h;
        EXPECT_EQ(devmap_umem_setup(&h, nullptr, k.callbacks, k.cookie, k.koff, k.len, PROT_ALL,
                                    k.flags, nullptr),
                  k.expected)
            << k.name;
        EXPECT_EQ(h.set, k.expected == 0) << k.name;
    }
    ddi_umem_free(c);
}

TEST_F(StreamsTest, MinorNodesAndReport)
{
    auto paths = platform::ddi::device_paths();
    EXPECT_NE(std::find(paths.begin(), paths.end(), "/dev/tdrv"), paths.end());
    EXPECT_NE(std::find(paths.begin(), paths.end(), "/dev/sad/admin"), paths.end());
    tdrv::uninstall();
    platform::console::take();
    ASSERT_EQ(tdrv::install(), 0);
    EXPECT_NE(platform::console::take().find("tdrv0 is /pseudo/tdrv@0"), std::string::npos);
}

} // namespace
