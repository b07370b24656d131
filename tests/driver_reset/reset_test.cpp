// TCP reset generation: the two resets built for a blocked segment, judged by tshark as an
// independent decoder (addresses, ports, numbers, flags, checksums), the refusals and their
// trace lines, and send_reset's delivery on the module's queues.
#include "tcp_frame.h"

#include "nvxreset.h"
#include "nvxutil.h"

#include "console_log.h"
#include "debug.h"
#include "faults.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

using nvxtest::held_message;
using nvxtest::TcpFrame;

namespace
{

constexpr int IN = DIR_INBOUND;
constexpr int OUT = DIR_OUTBOUND;

std::string mac_text(const nvxtest::Mac &m)
{
    char b[18];
    std::snprintf(b, sizeof(b), "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
                  m[5]);
    return b;
}

std::string ip_text(uint32_t a)
{
    char b[16];
    std::snprintf(b, sizeof(b), "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xff, (a >> 8) & 0xff,
                  a & 0xff);
    return b;
}

// What tshark must report for one reset frame.
struct Expected {
    std::string eth_dst, eth_src, ip_src, ip_dst;
    unsigned sport, dport;
    uint32_t seq, ack;
    unsigned flags;
    unsigned window, ttl;
};

// Turned resets run against the held frame: addresses and ports swapped.
Expected addressing(const TcpFrame &f, bool turned)
{
    Expected e{};
    e.eth_dst = mac_text(turned ? f.src_mac : f.dst_mac);
    e.eth_src = mac_text(turned ? f.dst_mac : f.src_mac);
    e.ip_src = ip_text(turned ? f.dst_ip : f.src_ip);
    e.ip_dst = ip_text(turned ? f.src_ip : f.dst_ip);
    e.sport = turned ? f.dst_port : f.src_port;
    e.dport = turned ? f.src_port : f.dst_port;
    e.window = f.window;
    e.ttl = f.ttl;
    return e;
}

struct ResetCase {
    const char *name;
    TcpFrame frame;
    int dir;
    // Numbers of the reset towards the held frame's sender (turned) and receiver.
    uint32_t sender_seq, sender_ack;
    unsigned sender_flags;
    uint32_t receiver_seq;
};

TcpFrame with(void (*change)(TcpFrame &))
{
    TcpFrame f;
    change(f);
    return f;
}

const uint32_t S = 0x11223344, A = 0x55667788;

// The held frame's sender gets the held acknowledgement with RST when it has ACK, else RST|ACK
// acknowledging the segment; the receiver gets the held sequence number with RST.
const ResetCase kResetCases[] = {
    {"inbound ACK, 10.0.0.2:80 to 10.0.0.1:1025", TcpFrame{}, IN, A, 0, 0x04, S},
    {"outbound ACK, 10.0.0.1:1025 to 10.0.0.2:80", with([](TcpFrame &f) {
         std::swap(f.src_ip, f.dst_ip);
         std::swap(f.src_port, f.dst_port);
         std::swap(f.src_mac, f.dst_mac);
     }),
     OUT, A, 0, 0x04, S},
    {"inbound SYN without ACK", with([](TcpFrame &f) {
         f.flags = 0x02;
         f.payload = 0;
         f.ack = 0;
     }),
     IN, 0, S + 1, 0x14, S},
    {"outbound SYN without ACK", with([](TcpFrame &f) {
         f.flags = 0x02;
         f.payload = 0;
         f.ack = 0;
     }),
     OUT, 0, S + 1, 0x14, S},
    {"inbound FIN without ACK, 5 data bytes", with([](TcpFrame &f) {
         f.flags = 0x01;
         f.payload = 5;
     }),
     IN, 0, S + 5 + 1, 0x14, S},
    {"outbound data without ACK, 7 bytes", with([](TcpFrame &f) {
         f.flags = 0x08;
         f.payload = 7;
     }),
     OUT, 0, S + 7, 0x14, S},
    {"inbound FIN|ACK", with([](TcpFrame &f) { f.flags = 0x11; }), IN, A, 0, 0x04, S},
    {"inbound ACK with 8 bytes of IP options", with([](TcpFrame &f) { f.ip_options = 8; }), IN, A,
     0, 0x04, S},
    {"outbound first fragment with MF: the reset keeps only DF", with([](TcpFrame &f) {
         f.frag = 0x6000; /* DF and MF */
     }),
     OUT, A, 0, 0x04, S},
    {"inbound sequence wrap", with([](TcpFrame &f) {
         f.seq = 0xfffffffe;
         f.flags = 0x02;
         f.payload = 3;
     }),
     IN, 0, 0x00000002, 0x14, 0xfffffffe},
};

bool have_tshark()
{
    return std::system("tshark -v > /dev/null 2>&1") == 0;
}

// One line of tab-separated fields per frame.
std::vector<std::vector<std::string>> tshark_fields(const std::string &pcap)
{
    const std::string cmd =
        "tshark -r " + pcap +
        " -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE -o "
        "tcp.relative_sequence_numbers:FALSE"
        " -T fields -e eth.dst -e eth.src -e ip.src -e ip.dst -e ip.len -e ip.hdr_len -e ip.ttl"
        " -e ip.flags.df -e ip.flags.mf -e ip.frag_offset -e ip.checksum.status -e tcp.srcport"
        " -e tcp.dstport -e tcp.seq_raw -e tcp.ack_raw -e tcp.flags -e tcp.window_size_value"
        " -e tcp.checksum.status -e tcp.hdr_len -e tcp.len 2>/dev/null";
    std::vector<std::vector<std::string>> rows;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return rows;
    char line[4096];
    while (std::fgets(line, sizeof(line), p) != nullptr) {
        std::string s(line);
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        std::vector<std::string> cols;
        std::stringstream ss(s);
        std::string col;
        while (std::getline(ss, col, '\t'))
            cols.push_back(col);
        rows.push_back(cols);
    }
    pclose(p);
    return rows;
}

std::string hex(unsigned v, int width)
{
    char b[16];
    std::snprintf(b, sizeof(b), "0x%0*x", width, v);
    return b;
}

class ResetTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        _debug(0);
        _dsetlevel(0, 1);
        platform::console::take();
    }
    void TearDown() override
    {
        _debug(0);
        _dsetlevel(0, 1);
    }
};

// Both resets of every case, decoded by tshark.
TEST_F(ResetTest, ResetPairsDecodeAsTheIndependentDecoderExpects)
{
    if (!have_tshark())
        GTEST_SKIP() << "tshark is not installed: the resets cannot be checked by an independent "
                        "decoder";

    std::string path = ::testing::TempDir() + "nvx_resets_" + std::to_string(getpid()) + ".pcap";
    nvxtest::PcapWriter pcap(path);
    std::vector<Expected> expected;
    std::vector<std::string> names;

    for (const ResetCase &c : kResetCases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> frame = c.frame.bytes();
        mblk_t *held = held_message(frame, c.dir);
        ASSERT_NE(held, nullptr);
        mblk_t *up = allocate_reset_packet(held, c.dir, IN);
        mblk_t *down = allocate_reset_packet(held, c.dir, OUT);
        ASSERT_NE(up, nullptr);
        ASSERT_NE(down, nullptr);

        // The inbound reset starts at its IP header, with its link header in front; the
        // outbound one at its Ethernet header.
        EXPECT_EQ(DB_TYPE(up), M_DATA);
        EXPECT_EQ(DB_TYPE(down), M_DATA);
        EXPECT_EQ(up->b_rptr, up->b_datap->db_base + 14);
        EXPECT_EQ(MBLKL(up), 40);
        EXPECT_EQ(down->b_rptr, down->b_datap->db_base);
        EXPECT_EQ(MBLKL(down), 54);
        EXPECT_EQ(up->b_cont, nullptr);
        EXPECT_EQ(down->b_cont, nullptr);

        pcap.add(up->b_datap->db_base, 54);
        pcap.add(down->b_rptr, 54);

        // Inbound reset: turned when the held frame is outbound. Outbound reset: turned when it
        // is inbound. The turned one goes to the held frame's sender.
        for (bool upward : {true, false}) {
            const bool turned = upward ? c.dir == OUT : c.dir == IN;
            Expected e = addressing(c.frame, turned);
            e.seq = turned ? c.sender_seq : c.receiver_seq;
            e.ack = turned ? c.sender_ack : 0;
            e.flags = turned ? c.sender_flags : 0x04;
            expected.push_back(e);
            names.push_back(std::string(c.name) +
                            (upward ? " / inbound reset" : " / outbound reset"));
        }
        freemsg(up);
        freemsg(down);
        freemsg(held);
    }
    pcap.close();

    const auto rows = tshark_fields(path);
    ASSERT_EQ(rows.size(), expected.size()) << "tshark output did not have one line per frame";
    for (size_t i = 0; i < rows.size(); i++) {
        SCOPED_TRACE(names[i]);
        const auto &r = rows[i];
        ASSERT_EQ(r.size(), 20u);
        const Expected &e = expected[i];
        EXPECT_EQ(r[0], e.eth_dst);
        EXPECT_EQ(r[1], e.eth_src);
        EXPECT_EQ(r[2], e.ip_src);
        EXPECT_EQ(r[3], e.ip_dst);
        EXPECT_EQ(r[4], "40") << "IP total length";
        EXPECT_EQ(r[5], "20") << "IP header length";
        EXPECT_EQ(r[6], std::to_string(e.ttl));
        EXPECT_EQ(r[7], "1") << "DF copied from the held frame";
        EXPECT_EQ(r[8], "0") << "never MF";
        EXPECT_EQ(r[9], "0") << "fragment offset";
        EXPECT_EQ(r[10], "1") << "IP header checksum good";
        EXPECT_EQ(r[11], std::to_string(e.sport));
        EXPECT_EQ(r[12], std::to_string(e.dport));
        EXPECT_EQ(r[13], std::to_string(e.seq));
        EXPECT_EQ(r[14], std::to_string(e.ack));
        EXPECT_EQ(r[15], hex(e.flags, 4));
        EXPECT_EQ(r[16], std::to_string(e.window));
        EXPECT_EQ(r[17], "1") << "TCP checksum good";
        EXPECT_EQ(r[18], "20");
        EXPECT_EQ(r[19], "0") << "no payload";
    }
    std::remove(path.c_str());
}

// Frames that get no reset, with the trace line that says why (level 512).
struct RefusalCase {
    const char *name;
    TcpFrame frame;
    int dir;
    size_t keep;       // bytes of the frame present in the block
    const char *trace; // expected trace line, or "" for a silent refusal
};

const RefusalCase kRefusals[] = {
    {"ARP frame", with([](TcpFrame &f) { f.ether_type = 0x0806; }), IN, SIZE_MAX,
     "build_reset: ether_type 806 invalid\n"},
    {"UDP datagram", with([](TcpFrame &f) { f.protocol = 17; }), IN, SIZE_MAX,
     "build_reset: we ignore UDP and ICMP\n"},
    {"ICMP", with([](TcpFrame &f) { f.protocol = 1; }), OUT, SIZE_MAX,
     "build_reset: we ignore UDP and ICMP\n"},
    {"IP protocol 47", with([](TcpFrame &f) { f.protocol = 47; }), IN, SIZE_MAX,
     "build_reset: ip protocol 2f invalid\n"},
    {"IP total length 39", with([](TcpFrame &f) {
         f.payload = 0;
         f.ip_total_delta = -1;
     }),
     IN, SIZE_MAX, "build_reset: bad iplen 27\n"},
    {"segment that is a reset", with([](TcpFrame &f) { f.flags = 0x14; }), OUT, SIZE_MAX,
     "build_reset: already reset\n"},
    {"802.3 with LLC/SNAP carrying IPv4", with([](TcpFrame &f) { f.snap = true; }), OUT, SIZE_MAX,
     nullptr},
    {"non-first fragment", with([](TcpFrame &f) { f.frag = 0x0010; }), IN, SIZE_MAX, ""},
    {"block ends inside the TCP header", TcpFrame{}, IN, 14 + 20 + 19, ""},
    {"block ends inside the IP header", TcpFrame{}, OUT, 14 + 19, ""},
    {"block ends inside the IP options", with([](TcpFrame &f) { f.ip_options = 12; }), IN,
     14 + 20 + 20 + 4, ""},
    {"block ends inside the link header", TcpFrame{}, OUT, 13, ""},
    {"inbound block without a link header in front", TcpFrame{}, IN, 0, ""},
};

TEST_F(ResetTest, FramesThatGetNoResetAreRefusedWithTheirReason)
{
    for (const RefusalCase &c : kRefusals) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> frame = c.frame.bytes();
        mblk_t *held;
        if (c.keep == 0) {
            // The read pointer at the buffer start: nothing in front of it.
            held = allocb(frame.size(), BPRI_MED);
            ASSERT_NE(held, nullptr);
            std::memcpy(held->b_wptr, frame.data() + 14, frame.size() - 14);
            held->b_wptr += frame.size() - 14;
        } else {
            held = held_message(frame, c.dir, c.keep);
        }
        ASSERT_NE(held, nullptr);
        const std::string before = nvxtest::bytes_of(held);

        _debug(1);
        _dsetlevel(512, 2);
        platform::console::take();
        mblk_t *up = allocate_reset_packet(held, c.dir, IN);
        mblk_t *down = allocate_reset_packet(held, c.dir, OUT);
        _debug(0);
        const std::string log = platform::console::take();

        EXPECT_EQ(up, nullptr);
        EXPECT_EQ(down, nullptr);
        if (c.trace != nullptr && c.trace[0] != '\0') {
            EXPECT_NE(log.find(c.trace), std::string::npos) << log;
        }
        EXPECT_EQ(nvxtest::bytes_of(held), before) << "the held frame is left untouched";
        freemsg(up);
        freemsg(down);
        freemsg(held);
    }
}

TEST_F(ResetTest, BuilderTracesItsArgumentsAtLevel512Only)
{
    const std::vector<uint8_t> frame = TcpFrame{}.bytes();
    std::array<BYTE, NVX_RESET_FRAME_LEN> out{};
    _debug(1);
    _dsetlevel(256, 2);
    platform::console::take();
    EXPECT_EQ(build_reset(frame.data(), static_cast<long>(frame.size()), out.data(), 1), 1);
    EXPECT_EQ(platform::console::take(), "");
    _dsetlevel(512, 2);
    EXPECT_EQ(build_reset(frame.data(), static_cast<long>(frame.size()), out.data(), 0), 1);
    char line[64];
    std::snprintf(line, sizeof(line), "build_reset: from=%x to=%x\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(frame.data())),
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(out.data())));
    EXPECT_EQ(platform::console::take(), line);
}

TEST_F(ResetTest, AllocationFailureGivesNoResetAndNoMessage)
{
    platform::faults::Scope faults;
    const std::vector<uint8_t> frame = TcpFrame{}.bytes();
    mblk_t *held = held_message(frame, IN);
    ASSERT_NE(held, nullptr);
    _debug(1);
    _dsetlevel(-1, 2);
    platform::console::take();
    platform::faults::fail_nth(platform::faults::Kind::allocb, 1);
    EXPECT_EQ(allocate_reset_packet(held, IN, OUT), nullptr);
    _debug(0);
    EXPECT_EQ(platform::console::take(), "");
    freemsg(held);
}

TEST(FrameLocation, MacLengthRecognisesSnapOnlyWithItsHeader)
{
    std::array<BYTE, 22> b{};
    b[12] = 0x00;
    b[13] = 100;
    const BYTE snap[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
    std::memcpy(&b[14], snap, 6);
    EXPECT_EQ(getMacLength(b.data()), 22);
    b[16] = 0x04;
    EXPECT_EQ(getMacLength(b.data()), 14);
    b[16] = 0x03;
    b[12] = 0x08; // 0x0864 > 1500: a type, not a length
    EXPECT_EQ(getMacLength(b.data()), 14);
}

TEST(FrameLocation, LinkAndIpHeadersOfInboundAndOutboundFrames)
{
    const std::vector<uint8_t> frame = TcpFrame{}.bytes();
    mblk_t *in = held_message(frame, IN);
    mblk_t *out = held_message(frame, OUT);
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(GetMacFromMbuf(in, IN), in->b_datap->db_base);
    EXPECT_EQ(GetMacFromMbuf(out, OUT), out->b_rptr);
    EXPECT_EQ(GetMacLengthFromMbuf(in, IN), 14);
    EXPECT_EQ(GetEthertypeFromMbuf(out, OUT), 0x0800);
    EXPECT_EQ(GetIPFromMbuf(in, IN), in->b_rptr);
    EXPECT_EQ(GetIPFromMbuf(out, OUT), out->b_rptr + 14);

    // Not M_DATA: nothing located.
    in->b_datap->db_type = M_PROTO;
    EXPECT_EQ(GetMacFromMbuf(in, IN), nullptr);
    EXPECT_EQ(GetMacLengthFromMbuf(in, IN), 0);
    EXPECT_EQ(GetEthertypeFromMbuf(in, IN), 0);
    EXPECT_EQ(GetIPFromMbuf(in, IN), nullptr);
    in->b_datap->db_type = M_DATA;

    // An inbound block with less than a link header in front of its read pointer.
    in->b_rptr = in->b_datap->db_base + 10;
    EXPECT_EQ(GetMacFromMbuf(in, IN), nullptr);
    EXPECT_EQ(GetIPFromMbuf(in, IN), nullptr);
    freemsg(in);
    freemsg(out);
}

TEST(FrameLocation, IpHeaderInTheNextBlockAndNonIpTypes)
{
    _debug(1);
    _dsetlevel(1024, 2);
    platform::console::take();
    std::vector<uint8_t> frame = TcpFrame{}.bytes();
    mblk_t *link = held_message(std::vector<uint8_t>(frame.begin(), frame.begin() + 14), OUT);
    mblk_t *rest = held_message(std::vector<uint8_t>(frame.begin() + 14, frame.end()), OUT);
    ASSERT_NE(link, nullptr);
    ASSERT_NE(rest, nullptr);
    link->b_cont = rest;
    EXPECT_EQ(GetIPFromMbuf(link, OUT), rest->b_rptr);
    EXPECT_NE(platform::console::take().find(
                  "GetIPFromMbuf: ip header is in next block in chain. moving rptr\n"),
              std::string::npos);

    link->b_rptr[12] = 0x86;
    link->b_rptr[13] = 0xdd;
    EXPECT_EQ(GetIPFromMbuf(link, OUT), nullptr);
    char line[96];
    std::snprintf(line, sizeof(line), "GetIPFromMbuf: ethertype 86dd is not IP, base=%x\n",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(link->b_rptr)));
    EXPECT_NE(platform::console::take().find(line), std::string::npos);
    _debug(0);
    _dsetlevel(0, 1);
    platform::console::take();
    freemsg(link);
}

TEST(FrameLocation, IsZeroAndDottedQuads)
{
    const U8 zero[6] = {};
    const U8 one[6] = {0, 0, 0, 0, 0, 1};
    EXPECT_EQ(is_zero(zero), 1);
    EXPECT_EQ(is_zero(one), 0);
    platform::console::take();
    EXPECT_EQ(is_zero(nullptr), 1);
    EXPECT_EQ(platform::console::take(), "mac ptr is NULL\n");

    char b16[16];
    EXPECT_STREQ(nvx_inet_ntoa(0xC0A80001, b16, sizeof(b16)), "192.168.0.1");
    EXPECT_STREQ(nvx_inet_ntoa(0xFFFFFFFF, b16, sizeof(b16)), "255.255.255.255");
    EXPECT_STREQ(nvx_inet_ntoa(0, b16, sizeof(b16)), "0.0.0.0");
    char b8[8];
    std::memset(b8, 'x', sizeof(b8));
    EXPECT_EQ(nvx_inet_ntoa(0xC0A80001, b8, sizeof(b8)), b8);
    EXPECT_STREQ(b8, "192.168");
    char b1[1] = {'x'};
    EXPECT_STREQ(nvx_inet_ntoa(0xC0A80001, b1, 1), "");
}

} // namespace
