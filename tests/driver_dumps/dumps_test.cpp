// Diagnostic dumps: messages and queues on the console, the driver's records and capture
// queues through the trace facility, read back from the console log with their exact formats.
#include "module_stack.h"

#include "dumpmbuf.h"
#include "dumpqueue.h"
#include "nvxbind.h"
#include "nvxdump.h"

#include "CircularQueue.h"
#include "console_log.h"
#include "debug.h"

#include <sys/dlpi.h>
#include <sys/ksynch.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>
#include <vector>

namespace
{

std::string fmt(const char *f, ...) __attribute__((format(__printf__, 1, 2)));
std::string fmt(const char *f, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof(buf), f, ap);
    va_end(ap);
    return buf;
}

unsigned x32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}
unsigned long ul(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

class Dumps : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        _debug(0);
        _dsetlevel(0, 1);
        nvx_init_ppa_table();
        BindingList = CurrentBinding = nullptr;
        platform::console::take();
    }
    void TearDown() override
    {
        _debug(0);
        nvx_init_ppa_table();
        BindingList = CurrentBinding = nullptr;
    }
};

TEST(Names, MessageFlagNamesEachFollowedByABlank)
{
    char buf[NVX_FLAGSTR_LEN];
    EXPECT_STREQ(GetMblkFlagsStr(0x05, buf, sizeof(buf)), "MSGMARK MSGDELIM ");
    EXPECT_STREQ(GetMblkFlagsStr(0, buf, sizeof(buf)), "");
    EXPECT_STREQ(GetMblkFlagsStr(0x3f, buf, sizeof(buf)),
                 "MSGMARK MSGNOLOOP MSGDELIM MSGNOGET MSGMARKNEXT MSGNOTMARKNEXT ");
    EXPECT_STREQ(GetMblkFlagsStr(0x40, buf, sizeof(buf)), "UNKNOWN ");
    EXPECT_STREQ(GetMblkFlagsStr(0x80000000u, buf, sizeof(buf)), "UNKNOWN") << "bit 31: no blank";
    // Every bit set would need more than 256 bytes: the text is cut, terminated, in bounds.
    GetMblkFlagsStr(0xffffffffu, buf, sizeof(buf));
    EXPECT_EQ(std::strlen(buf), sizeof(buf) - 1);
    char small[10];
    EXPECT_STREQ(GetMblkFlagsStr(0x05, small, sizeof(small)), "MSGMARK M");
}

TEST(Names, QueueFlagNamesJoinedBySeparators)
{
    char buf[256];
    EXPECT_STREQ(GetQueueFlagsStr(0x31, buf, sizeof(buf)), "QENAB|QREADR|QUSE");
    EXPECT_STREQ(GetQueueFlagsStr(0x81, buf, sizeof(buf)), "QENAB|");
    EXPECT_STREQ(GetQueueFlagsStr(0x80, buf, sizeof(buf)), "") << "no name started yet";
    EXPECT_STREQ(GetQueueFlagsStr(0x0d000000, buf, sizeof(buf)),
                 "_QNEXTLESS|_QINSERTING|_QREMOVING");
    EXPECT_STREQ(GetQueueFlagsStr(0x00204000, buf, sizeof(buf)), "QMTSAFE|QISDRV");
}

TEST(Names, MessageTypesAndDlpiPrimitives)
{
    EXPECT_STREQ(GetStreamsMsgTypeStr(0x00), "M_DATA");
    EXPECT_STREQ(GetStreamsMsgTypeStr(0x0e), "M_IOCTL");
    EXPECT_STREQ(GetStreamsMsgTypeStr(0x83), "M_PCPROTO");
    EXPECT_STREQ(GetStreamsMsgTypeStr(0x92), "M_UNHANGUP");
    EXPECT_STREQ(GetStreamsMsgTypeStr(0x02), "UNKNOWN");
    EXPECT_STREQ(GetStreamsMsgTypeStr(0x93), "UNKNOWN");
    int named = 0;
    for (int t = 0; t < 256; t++)
        named += std::strcmp(GetStreamsMsgTypeStr(t), "UNKNOWN") != 0;
    EXPECT_EQ(named, 29);

    EXPECT_STREQ(GetStreamsDLPIStr(DL_INFO_REQ), "DL_INFO_REQ");
    EXPECT_STREQ(GetStreamsDLPIStr(DL_SUBS_UNBIND_REQ), "DL_SUBS_UNBIND_REQ");
    EXPECT_STREQ(GetStreamsDLPIStr(22), "UNKNOWN");
    EXPECT_STREQ(GetStreamsDLPIStr(DL_RESET_REQ), "DL_RESET_REQ");
    EXPECT_STREQ(GetStreamsDLPIStr(DL_REPLY_UPDATE_STATUS_IND), "DL_REPLY_UPDATE_STATUS_IND");
    EXPECT_STREQ(GetStreamsDLPIStr(DL_GET_STATISTICS_ACK), "DL_GET_STATISTICS_ACK");
    EXPECT_STREQ(GetStreamsDLPIStr(54), "UNKNOWN");
    EXPECT_STREQ(GetStreamsDLPIStr(0xffffffffu), "UNKNOWN");
    EXPECT_STREQ(GetIoctlStr(0x7001), "UNKNOWN");
}

// The hex lines of a block's buffer, as the dump prints them (whole lines only).
std::string hex_lines(const mblk_t *b)
{
    std::string s;
    const unsigned char *p = b->b_datap->db_base;
    const size_t size = static_cast<size_t>(b->b_datap->db_lim - p);
    for (size_t off = 0; off + 16 <= size && off < 128; off += 16) {
        const unsigned char *q = p + off;
        s += fmt("\t%04x - %02x%02x %02x%02x %02x%02x %02x%02x  %02x%02x %02x%02x %02x%02x "
                 "%02x%02x\n",
                 static_cast<unsigned>(off), q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7], q[8],
                 q[9], q[10], q[11], q[12], q[13], q[14], q[15]);
    }
    return s;
}

std::string block_text(const mblk_t *b, const mblk_t *parent, queue_t *q, int count,
                       const char *dir, const char *type, const std::string &protoLine, int length)
{
    std::string s;
    if (parent != nullptr)
        s += fmt("CHAINED(%d): 0x%x parent 0x%x (q=0x%x): %s - %s\n", count, x32(b), x32(parent),
                 x32(q), dir, type);
    else
        s += fmt("MBLK(%d): 0x%x (q=0x%x): %s - %s\n", count, x32(b), x32(q), dir, type);
    s += fmt("b_next=%x b_prev=%x b_cont=%x ", x32(b->b_next), x32(b->b_prev), x32(b->b_cont));
    s += fmt("b_rptr=%x b_wptr=%x b_datap=%x\n", x32(b->b_rptr), x32(b->b_wptr), x32(b->b_datap));
    s += fmt("b_band=%x b_flag=%x b_ftflag=%x b_queue=%x\n", b->b_band, b->b_flag, 0u,
             x32(b->b_queue));
    char flags[NVX_FLAGSTR_LEN];
    s += fmt("FLAGS: %s\n", GetMblkFlagsStr(b->b_flag, flags, sizeof(flags)));
    s += "Datablock:\n";
    s += fmt("db_base=%x db_lim=%x db_ref=%x db_type=%x\n", x32(b->b_datap->db_base),
             x32(b->b_datap->db_lim), b->b_datap->db_ref, b->b_datap->db_type);
    s += fmt("db_flags=%x\n", b->b_datap->db_flags);
    s += protoLine;
    s += fmt("\tpacket buffer size: %d  packet length: %d\n",
             static_cast<int>(b->b_datap->db_lim - b->b_datap->db_base), length);
    s += hex_lines(b);
    return s;
}

int counter_of(const std::string &log, const char *prefix)
{
    const size_t at = log.find(prefix);
    return at == std::string::npos ? -1 : std::atoi(log.c_str() + at + std::strlen(prefix));
}

TEST_F(Dumps, ThreeBlockMessageGivesOneMblkAndTwoChainedBlocks)
{
    nvxtest::ModuleStack stack("hme");
    // DL_UNITDATA_IND followed by two data blocks; buffers of whole 16-byte lines.
    mblk_t *proto = allocb(32, BPRI_MED);
    mblk_t *d1 = allocb(64, BPRI_MED);
    mblk_t *d2 = allocb(48, BPRI_MED);
    ASSERT_TRUE(proto && d1 && d2);
    proto->b_datap->db_type = M_PROTO;
    dl_unitdata_ind_t ind{};
    ind.dl_primitive = DL_UNITDATA_IND;
    std::memcpy(proto->b_wptr, &ind, sizeof(ind));
    proto->b_wptr += sizeof(ind);
    for (int i = 0; i < 50; i++)
        *d1->b_wptr++ = static_cast<unsigned char>(i);
    for (int i = 0; i < 30; i++)
        *d2->b_wptr++ = static_cast<unsigned char>(0xa0 + i);
    d1->b_flag = 0x05;
    proto->b_cont = d1;
    d1->b_cont = d2;
    for (mblk_t *b : {proto, d1, d2})
        ASSERT_EQ((b->b_datap->db_lim - b->b_datap->db_base) % 16, 0) << "whole lines";

    dumpmbuf(stack.rq(), proto, nullptr, DIR_INBOUND);
    const std::string log = platform::console::take();
    const int n = counter_of(log, "MBLK(");
    ASSERT_GE(n, 1);
    const std::string expected =
        block_text(proto, nullptr, stack.rq(), n, "inbound", "M_PROTO",
                   "DLPI type = DL_UNITDATA_IND\n", 80) +
        block_text(d1, proto, stack.rq(), n + 1, "inbound", "M_DATA", "", 80) +
        block_text(d2, d1, stack.rq(), n + 2, "inbound", "M_DATA", "", 30) + "\n";
    EXPECT_EQ(log, expected);
    EXPECT_NE(log.find("FLAGS: MSGMARK MSGDELIM \n"), std::string::npos);

    // The counter keeps counting across calls.
    dumpmbuf(stack.rq(), d2, nullptr, DIR_OUTBOUND);
    const std::string again = platform::console::take();
    EXPECT_EQ(counter_of(again, "MBLK("), n + 3);
    EXPECT_NE(again.find("): outbound - M_DATA\n"), std::string::npos);
    freemsg(proto);
}

TEST_F(Dumps, ProtocolLinesOnlyFromBytesThatAreThere)
{
    mblk_t *mp = allocb(16, BPRI_MED);
    ASSERT_NE(mp, nullptr);
    mp->b_datap->db_type = M_PCPROTO;
    *mp->b_wptr++ = 3; // three bytes: no whole primitive word
    mp->b_wptr += 2;
    dumpmbuf(nullptr, mp, nullptr, DIR_OUTBOUND);
    EXPECT_NE(platform::console::take().find("\nDLPI type = UNKNOWN\n"), std::string::npos);

    // An M_IOCTL going down names its command; inbound it gets no line; M_IOCACK the reverse.
    mp->b_datap->db_type = M_IOCTL;
    mp->b_wptr = mp->b_rptr;
    const int cmd = 0x7005;
    std::memcpy(mp->b_wptr, &cmd, sizeof(cmd));
    mp->b_wptr += sizeof(cmd);
    dumpmbuf(nullptr, mp, nullptr, DIR_OUTBOUND);
    EXPECT_NE(platform::console::take().find("\nIOCTL cmd = 7005:UNKNOWN\n"), std::string::npos);
    dumpmbuf(nullptr, mp, nullptr, DIR_INBOUND);
    EXPECT_EQ(platform::console::take().find("cmd ="), std::string::npos);
    mp->b_datap->db_type = M_IOCACK;
    dumpmbuf(nullptr, mp, nullptr, DIR_INBOUND);
    EXPECT_NE(platform::console::take().find("\nIOCACK cmd = 7005:UNKNOWN\n"), std::string::npos);
    freemsg(mp);

    dumpmbuf(nullptr, nullptr, nullptr, DIR_INBOUND);
    EXPECT_EQ(platform::console::take(), "NULL MBLK!\n");
}

TEST_F(Dumps, HexLinesStopAt128BytesAndAtTheBufferLimit)
{
    mblk_t *big = allocb(512, BPRI_MED);
    ASSERT_NE(big, nullptr);
    dumpmbuf(nullptr, big, nullptr, DIR_INBOUND);
    const std::string log = platform::console::take();
    EXPECT_NE(log.find("\t0070 - "), std::string::npos);
    EXPECT_EQ(log.find("\t0080 - "), std::string::npos);
    freemsg(big);

    // A buffer whose size is not a whole number of lines (the limit is moved in for the dump,
    // and put back before the block is freed): the last line shows what is there.
    mblk_t *odd = allocb(32, BPRI_MED);
    ASSERT_NE(odd, nullptr);
    unsigned char *const lim = odd->b_datap->db_lim;
    std::memset(odd->b_datap->db_base, 0xab, 32);
    odd->b_datap->db_lim = odd->b_datap->db_base + 21;
    odd->b_wptr = odd->b_rptr;
    dumpmbuf(nullptr, odd, nullptr, DIR_INBOUND);
    odd->b_datap->db_lim = lim;
    const std::string text = platform::console::take();
    EXPECT_NE(text.find("\tpacket buffer size: 21  packet length: 0\n"), std::string::npos);
    EXPECT_NE(text.find("\t0010 - abab abab ab\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\t0020"), std::string::npos);
    freemsg(odd);
}

TEST_F(Dumps, QueueBlockOfBothSidesOfAPair)
{
    nvxtest::ModuleStack stack("hme");
    queue_t *rq = stack.rq();
    queue_t *wq = stack.wq();
    dumpqueue(nullptr, 1);
    EXPECT_EQ(platform::console::take(), "");

    auto block = [](queue_t *q, const char *side) {
        char names[256];
        return fmt("QUEUE(%x): %s\n", x32(q), side) + fmt("\tq_qinfo=%x:\n", x32(q->q_qinfo)) +
               fmt("\tq_first=%x q_last=%x q_next=%x q_link=%x\n", x32(q->q_first), x32(q->q_last),
                   x32(q->q_next), x32(q->q_link)) +
               fmt("\tq_ptr=%x q_count=%x q_minpsz=%d q_maxpsz=%d\n", x32(q->q_ptr),
                   static_cast<unsigned>(q->q_count), static_cast<int>(q->q_minpsz),
                   static_cast<int>(q->q_maxpsz)) +
               fmt("\tq_hiwat=%d q_lowat=%d size=%d\n", static_cast<int>(q->q_hiwat),
                   static_cast<int>(q->q_lowat), 0) +
               fmt("\tq_flag(%x): %s\n", q->q_flag, GetQueueFlagsStr(q->q_flag, names, 256)) +
               fmt("\tq_bandp=%x q_nband=%d\n", x32(q->q_bandp), q->q_nband);
    };
    dumpqueue(rq, 0);
    const std::string readSide = platform::console::take();
    EXPECT_EQ(readSide, block(rq, "reader"));
    EXPECT_NE(readSide.find("QREADR"), std::string::npos);
    dumpqueue(wq, 1);
    EXPECT_EQ(platform::console::take(), block(wq, "writer") + block(rq, "reader"));
}

TEST_F(Dumps, StatisticsAndAFreshAdapterTable)
{
    print_stats();
    EXPECT_EQ(platform::console::take(),
              fmt("Capture Statistics:\n\ttotalPut = %d\n\ttotalRecvd = 0\n\ttotalDataPkts = 0\n"
                  "\ttotalQueued = 0\n\ttotalFreed = %d\n\n",
                  totalPut, totalFreed));
    print_ppainfo(0);
    print_ppainfo(-1);
    print_ppainfo(MAX_PPA);
    EXPECT_EQ(platform::console::take(), "") << "free slots and bad indexes print nothing";
    print_all_ppainfo();
    EXPECT_EQ(platform::console::take(), "\n");
}

TEST_F(Dumps, RegisteredAdapterSlot)
{
    ppaInfo &pi = ppaList[2].info;
    std::strcpy(pi.devicename, "hme1");
    pi.dl_max_sdu = 1500;
    pi.dl_mac_type = DL_ETHER;
    pi.dl_provider_style = DL_STYLE2;
    pi.dl_addr_length = 6;
    pi.dl_brdcst_addr_length = 6;
    const U8 mac[6] = {0x08, 0x00, 0x20, 0xab, 0x0c, 0x01};
    std::memcpy(pi.aucMacAddress, mac, 6);
    ppaList[2].bndcnt = 2;
    print_all_ppainfo();
    EXPECT_EQ(platform::console::take(),
              "PPAINFO: 2\n\tbndcnt = 2\n\tgip = 0x0\n\tdl_max_sdu = 1500\n\tdl_max_type = 4\n"
              "\tdl_provider_style = 1281\n\tdl_addr_length = 6\n\tdl_brdcst_addr_length = 6\n"
              "\tuMedium = 0\n\tdeviceName = hme1\n\taucMacAddress = 08:00:20:ab:0c:01\n"
              "\tbrdcstMacAddress = 00:00:00:00:00:00\n\n");
}

std::string binding_block(const BindingInfo *b)
{
    return fmt("BindingInfo: 0x%lx\n", ul(b)) + fmt("\tdip = 0x%lx\n", ul(b->dip)) +
           fmt("\tdev = 0x%lx\n", static_cast<unsigned long>(b->dev)) +
           fmt("\treadq = 0x%lx\n", ul(b->rdq)) + fmt("\twriteq = 0x%lx\n", ul(b->wrq)) +
           fmt("\tulFlags = 0x%x\n", b->ulFlags) + fmt("\tindex = %d\n", b->index) +
           fmt("\tdl_ppa = %d\n", b->dl_ppa) + fmt("\tppaname = %s\n", b->ppaname) +
           fmt("\tprev = 0x%lx\n", ul(b->prev)) + fmt("\tnext = 0x%lx\n", ul(b->next));
}

TEST_F(Dumps, BindingWithoutAdapterRecord)
{
    BindingInfo b{};
    std::strcpy(b.ppaname, NVX_UNKNOWN_PPA);
    b.index = MAX_PPA;
    b.dev = 0x1234;
    print_BindingInfo(&b);
    EXPECT_EQ(platform::console::take(), binding_block(&b) + "\tGLobalInfo: 0x0\n");
    print_BindingInfo(nullptr);
    EXPECT_EQ(platform::console::take(), "BindingInfo: 0x0\n");
}

// An adapter record with a session whose region holds a shared packet queue with one frame
// record read (final queue) and one unread (intermediate queue).
struct CaptureFixture {
    GlobalInfo gip{};
    SessionInfo sip{};
    std::vector<unsigned char> region;
    BindingInfo device{}, mod1{}, mod2{};

    CaptureFixture() : region(3 * 8192, 0)
    {
        std::strcpy(gip.ppaname, "hme0");
        gip.ulOpenMode = 16;
        gip.ulFlags = GI_CAPTURING;
        gip.captureSession = &sip;
        sip.ulCaptureMode = 0x10;
        sip.RcvBufferSize = static_cast<U32>(region.size());
        sip.pRcvBuffer = reinterpret_cast<RcvBuffer *>(region.data());
        sip.pFrameBuffer = region.data() + NVX_RCVBUFFER_SIZE;
        sip.ulOutstandingPackets = 2;
        sip.packetCount = 2;
        sip.pRcvBuffer->ulFlags = RB_SESSION_TIMEOUT;
        EXPECT_EQ(InitializeCircularQueue(sip.pFrameBuffer, sip.RcvBufferSize - NVX_RCVBUFFER_SIZE),
                  0u);
        add_record(0, 0x20000000, 100, PI_INBOUND);
        add_record(1, 0x04000001, 101, PI_OUTBOUND);
        void *blob = nullptr;
        U32 len = 0;
        EXPECT_EQ(CircularQueueDequeueIntermediate(sip.pFrameBuffer, &blob, &len), 0u);
        for (BindingInfo *b : {&device, &mod1, &mod2}) {
            std::strcpy(b->ppaname, "hme0");
            b->openInfo = &gip;
        }
    }

    // The dumps take these locks; a zero-filled lock is created on first use and released here.
    ~CaptureFixture()
    {
        mutex_destroy(&gip.sessionInfoMutex);
        mutex_destroy(&sip.captureMutex);
        mutex_destroy(&sip.blockingMutex);
    }

    void add_record(U32 seq, U32 status, S32 secs, U32 flags)
    {
        const U32 blobLength = sizeof(PacketInfo) + sizeof(PACKET_BUFFER) + 64;
        void *blob = nullptr;
        EXPECT_EQ(CircularQueueEnqueue(sip.pFrameBuffer, nullptr, blobLength, &blob), 0u);
        PacketInfo pi{};
        pi.ulLength = sizeof(PacketInfo);
        pi.magic = STAGE_MAGIC;
        pi.ulSequence = static_cast<S32>(seq);
        pi.ulFlags = flags;
        PACKET_BUFFER pb{};
        pb.ulStatus = status;
        pb.lTimeSecs = secs;
        pb.ulSequence = seq;
        std::memcpy(blob, &pi, sizeof(pi));
        std::memcpy(static_cast<unsigned char *>(blob) + sizeof(pi), &pb, sizeof(pb));
        blobs.push_back(static_cast<unsigned char *>(blob));
    }

    std::string entry(size_t i, U32 status, S32 secs, U32 seq, U32 flags) const
    {
        const QueueDescriptor *d = static_cast<const QueueDescriptor *>(sip.pFrameBuffer);
        (void)d;
        const unsigned char *q = static_cast<const unsigned char *>(sip.pFrameBuffer);
        const U32 entryOffset = CQ_DESCRIPTOR_SIZE + static_cast<U32>(i) * CQ_QUEUE_ENTRY_SIZE;
        QueueEntry e;
        std::memcpy(&e, q + entryOffset, sizeof(e));
        return fmt("Queue offset %u:  data offset = %u; length = %u.\n", entryOffset, e.ulOffset,
                   e.ulLength) +
               "\t\t pInfo     flag    sta     time      seq\n" +
               fmt("\t\t %08x %08x %08x %08d %08d\n", x32(blobs[i] + sizeof(PacketInfo)), flags,
                   status, secs, static_cast<int>(seq));
    }

    std::string block(bool withEntries) const
    {
        std::string s =
            "Capture Queue: hme0\n\tulFlags = 2\n\tPkts=2 cnt=2\n\tIntermediate queue:\n";
        if (withEntries)
            s += entry(1, 0x04000001, 101, 1, PI_OUTBOUND);
        s += "\n\tFinal queue:\n";
        if (withEntries)
            s += entry(0, 0x20000000, 100, 0, PI_INBOUND);
        return s;
    }

    std::vector<unsigned char *> blobs;
};

TEST_F(Dumps, CaptureQueuesOncePerBindingThatLeadsToTheAdapter)
{
    CaptureFixture c;
    BindingInfo stray{};
    std::strcpy(stray.ppaname, NVX_UNKNOWN_PPA);
    add_binding(&c.device);
    add_binding(&stray); // no adapter record: no queue block
    add_binding(&c.mod1);
    add_binding(&c.mod2);

    _debug(1);
    print_all_queues();
    const std::string traced = platform::console::take();
    EXPECT_EQ(traced, c.block(true) + c.block(true) + c.block(true));

    // Without tracing the entry lines (printed through _dprintf) are left out.
    _debug(0);
    print_all_queues();
    EXPECT_EQ(platform::console::take(), c.block(false) + c.block(false) + c.block(false));

    for (BindingInfo *b : {&c.device, &stray, &c.mod1, &c.mod2})
        remove_binding(b);
}

TEST_F(Dumps, ScribbledSharedQueueIsNeverWalkedOutsideTheRegion)
{
    CaptureFixture c;
    _debug(1);
    QueueDescriptor *d = static_cast<QueueDescriptor *>(c.sip.pFrameBuffer);

    // A descriptor that disagrees with the region the driver allocated: block lines only.
    const QueueDescriptor saved = *d;
    const U32 badValues[] = {0xfffffff8u, c.sip.RcvBufferSize, 52u};
    for (U32 bad : badValues) {
        SCOPED_TRACE(bad);
        *d = saved;
        d->ulQueueTail = bad;
        print_queue(&c.gip, &c.sip, 0, 0);
        EXPECT_EQ(platform::console::take(), c.block(false));
    }
    *d = saved;
    d->ulLength = 1u << 30;
    print_queue(&c.gip, &c.sip, 0, 0);
    EXPECT_EQ(platform::console::take(), c.block(false));

    // Entries and frame records pointing outside the queue: the entry line, no record lines.
    *d = saved;
    QueueEntry *entries = reinterpret_cast<QueueEntry *>(
        static_cast<unsigned char *>(c.sip.pFrameBuffer) + CQ_DESCRIPTOR_SIZE);
    entries[1].ulOffset = 0xfffffff0u;
    PacketInfo *first = reinterpret_cast<PacketInfo *>(c.blobs[0]);
    first->ulLength = 0x7fffffff;
    print_queue(&c.gip, &c.sip, 0, 0);
    const std::string log = platform::console::take();
    EXPECT_NE(log.find(fmt("Queue offset 56:  data offset = %u;", 0xfffffff0u)), std::string::npos);
    EXPECT_EQ(log.find("pInfo"), std::string::npos) << log;
}

TEST_F(Dumps, AdapterRecordAndSession)
{
    CaptureFixture c;
    c.sip.ulCaptureSize = 50;
    c.sip.maxpktsize = 1564;
    c.sip.maxpktbufsize = 1668;
    c.sip.ulFlags = SI_READING;
    c.sip.lLastTime = 1234;
    c.sip.lTimeOut = 10;
    c.sip.ulPacketsCaptured = 7;
    c.sip.hasData = 1;
    print_GlobalInfo(&c.gip);
    const std::string expected =
        fmt("\tGLobalInfo: 0x%lx\n", ul(&c.gip)) +
        "\t\tulOpenMode = 0x10\n\t\tindex = 0\n\t\tppaname = hme0\n\t\tulFlags = 0x1\n" +
        fmt("\t\tSessionInfo: 0x%lx\n", ul(&c.sip)) +
        "\t\t\tulCaptureMode = 16\n\t\t\tulCaptureSize = 50\n" +
        fmt("\t\t\tRcvBufferSize = %d\n", static_cast<int>(c.sip.RcvBufferSize)) +
        "\t\t\tmaxpktsize = 1564\n\t\t\tmaxpktbufsize = 1668\n\t\t\tpacketCount = 2\n"
        "\t\t\thasData = 1\n\t\t\tisBlocked = 0\n\t\t\tulPacketsLost = 0\n"
        "\t\t\tulPacketsCaptured = 7\n\t\t\tulFlags = 0x2\n\t\t\tlLastTime = 1234\n"
        "\t\t\tlTimeOut = 10\n\t\t\tpStagingQueue = 0x0\n" +
        fmt("\t\t\tpRcvBuffer = 0x%lx\n", ul(c.sip.pRcvBuffer)) +
        fmt("\t\t\tpFrameBuffer = 0x%lx\n", ul(c.sip.pFrameBuffer));
    EXPECT_EQ(platform::console::take(), expected);
}

TEST_F(Dumps, PrintAllSwitchesTracingOffAndRestoresIt)
{
    CaptureFixture c;
    add_binding(&c.device);
    _debug(5);
    print_all();
    int after = 0;
    _dget_debug(&after);
    EXPECT_EQ(after, 5);
    const std::string log = platform::console::take();
    EXPECT_EQ(log.rfind("Capture Statistics:\n", 0), 0u);
    EXPECT_NE(log.find(binding_block(&c.device) + fmt("\tGLobalInfo: 0x%lx\n", ul(&c.gip))),
              std::string::npos);
    EXPECT_EQ(log.find("Capture Queue"), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 2), "\n\n")
        << "bindings and slots each end with a blank line";
    remove_binding(&c.device);
}

} // namespace
