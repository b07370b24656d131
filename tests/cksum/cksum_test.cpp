// Field access (byte by byte, any offset, either order) and the IPv4 and TCP checksums, checked
// against fixed packets and against a plain RFC 1071 sum written here independently.
#include "nvxcksum.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <vector>

namespace
{

// Bytes placed at an odd offset inside a guarded buffer, so that unaligned access and stray
// writes are both visible.
struct Placed {
    static constexpr int kOffset = 3;
    std::vector<unsigned char> buf;
    explicit Placed(std::initializer_list<unsigned char> bytes) : buf(bytes.size() + 8, 0xEE)
    {
        int i = kOffset;
        for (unsigned char b : bytes)
            buf[static_cast<size_t>(i++)] = b;
    }
};

TEST(FieldAccess, ReadersTable)
{
    struct Case {
        const char *name;
        std::initializer_list<unsigned char> bytes;
        long long (*read)(const unsigned char *, int);
        long long expected;
    };
    const Case cases[] = {
        {"getUnsigned8 of FF",
         {0xFF},
         [](auto p, int o) -> long long { return getUnsigned8(p, o); },
         255},
        {"getSigned16 of FF FE",
         {0xFF, 0xFE},
         [](auto p, int o) -> long long { return getSigned16(p, o); },
         -2},
        {"getSigned16 of 80 00",
         {0x80, 0x00},
         [](auto p, int o) -> long long { return getSigned16(p, o); },
         -32768},
        {"getSigned16 of 7F FF",
         {0x7F, 0xFF},
         [](auto p, int o) -> long long { return getSigned16(p, o); },
         32767},
        {"getUnsigned16 of FF FE",
         {0xFF, 0xFE},
         [](auto p, int o) -> long long { return getUnsigned16(p, o); },
         65534},
        {"getReverse16 of 01 02",
         {0x01, 0x02},
         [](auto p, int o) -> long long { return getReverse16(p, o); },
         0x0201},
        {"getReverse16 of FE FF",
         {0xFE, 0xFF},
         [](auto p, int o) -> long long { return getReverse16(p, o); },
         65534},
        {"getUnsigned24 of 01 02 03",
         {0x01, 0x02, 0x03},
         [](auto p, int o) -> long long { return getUnsigned24(p, o); },
         66051},
        {"getUnsigned24 of FF FF FF",
         {0xFF, 0xFF, 0xFF},
         [](auto p, int o) -> long long { return getUnsigned24(p, o); },
         16777215},
        {"getSigned32 of 80 00 00 00",
         {0x80, 0, 0, 0},
         [](auto p, int o) -> long long { return getSigned32(p, o); },
         INT_MIN},
        {"getSigned32 of FF FF FF FF",
         {0xFF, 0xFF, 0xFF, 0xFF},
         [](auto p, int o) -> long long { return getSigned32(p, o); },
         -1},
        {"getSigned32 of 01 02 03 04",
         {1, 2, 3, 4},
         [](auto p, int o) -> long long { return getSigned32(p, o); },
         0x01020304},
        {"getUnsigned32 of FF FF FF FE",
         {0xFF, 0xFF, 0xFF, 0xFE},
         [](auto p, int o) -> long long { return getUnsigned32(p, o); },
         0xFFFFFFFEll},
        {"getReverse32 of 01 02 03 04",
         {1, 2, 3, 4},
         [](auto p, int o) -> long long { return getReverse32(p, o); },
         0x04030201},
        {"getReverse32 of 00 00 00 80",
         {0, 0, 0, 0x80},
         [](auto p, int o) -> long long { return getReverse32(p, o); },
         INT_MIN},
    };
    for (const Case &c : cases) {
        Placed placed(c.bytes);
        EXPECT_EQ(c.read(placed.buf.data(), Placed::kOffset), c.expected) << c.name;
        // A negative offset from a pointer past the field reads the same bytes.
        EXPECT_EQ(c.read(placed.buf.data() + Placed::kOffset + 2, -2), c.expected) << c.name;
    }
}

TEST(FieldAccess, WritersTable)
{
    struct Case {
        const char *name;
        void (*write)(unsigned int, unsigned char *, int);
        unsigned int value;
        std::vector<unsigned char> stored;
    };
    const Case cases[] = {
        {"putValue8 keeps the low byte", putValue8, 0x1234AB, {0xAB}},
        {"putValue16 high byte first", putValue16, 0xFFFF1234, {0x12, 0x34}},
        {"putReverse16 low byte first", putReverse16, 0x1234, {0x34, 0x12}},
        {"putValue32 big-endian", putValue32, 0x11223344, {0x11, 0x22, 0x33, 0x44}},
        {"putReverse32 little-endian", putReverse32, 0x11223344, {0x44, 0x33, 0x22, 0x11}},
        {"putValue32 of -1", putValue32, 0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        for (int offset : {0, 1, 3, 5}) {
            std::vector<unsigned char> buf(12, 0xEE);
            c.write(c.value, buf.data(), offset);
            for (int i = 0; i < 12; ++i) {
                const int k = i - offset;
                const unsigned char want = k >= 0 && k < static_cast<int>(c.stored.size())
                                               ? c.stored[static_cast<size_t>(k)]
                                               : 0xEE;
                EXPECT_EQ(buf[static_cast<size_t>(i)], want)
                    << c.name << " at offset " << offset << ", byte " << i;
            }
        }
    }
}

TEST(FieldAccess, WritersAndReadersRoundTripAtOddOffsets)
{
    std::vector<unsigned char> buf(16, 0);
    putValue16(0xBEEF, buf.data(), 1);
    putReverse16(0xBEEF, buf.data(), 3);
    putValue32(0xDEADBEEF, buf.data(), 5);
    putReverse32(0xDEADBEEF, buf.data(), 9);
    EXPECT_EQ(getUnsigned16(buf.data(), 1), 0xBEEF);
    EXPECT_EQ(getReverse16(buf.data(), 3), 0xBEEF);
    EXPECT_EQ(getUnsigned32(buf.data(), 5), 0xDEADBEEFu);
    EXPECT_EQ(static_cast<unsigned>(getReverse32(buf.data(), 9)), 0xDEADBEEFu);
    EXPECT_EQ(getUnsigned24(buf.data(), 6), 0xADBEEF);
}

TEST(FieldAccess, ArrayCopiesExactlyCountBytes)
{
    const unsigned char src[] = {9, 8, 7, 6, 5, 4};
    unsigned char dst[6] = {0, 0, 0, 0, 0, 0};
    getUnsigned8array(dst, 3, src, 1);
    EXPECT_EQ(dst[0], 8);
    EXPECT_EQ(dst[1], 7);
    EXPECT_EQ(dst[2], 6);
    EXPECT_EQ(dst[3], 0);
    getUnsigned8array(dst, 0, src, 0);
    EXPECT_EQ(dst[0], 8);
}

// RFC 1071, written plainly: one's complement sum of big-endian words (an odd last byte padded
// with a zero), carries folded until none is left.
uint32_t onesSum(const unsigned char *p, size_t n, uint32_t sum = 0)
{
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2)
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return sum;
}

uint16_t rfc1071(const unsigned char *p, size_t n, uint32_t sum = 0)
{
    return static_cast<uint16_t>(~onesSum(p, n, sum) & 0xffff);
}

// The TCP pseudo-header's share of the sum.
uint32_t pseudoSum(uint32_t src, uint32_t dst, size_t tcpLength)
{
    const unsigned char pseudo[12] = {static_cast<unsigned char>(src >> 24),
                                      static_cast<unsigned char>(src >> 16),
                                      static_cast<unsigned char>(src >> 8),
                                      static_cast<unsigned char>(src),
                                      static_cast<unsigned char>(dst >> 24),
                                      static_cast<unsigned char>(dst >> 16),
                                      static_cast<unsigned char>(dst >> 8),
                                      static_cast<unsigned char>(dst),
                                      0,
                                      6,
                                      static_cast<unsigned char>(tcpLength >> 8),
                                      static_cast<unsigned char>(tcpLength)};
    return onesSum(pseudo, sizeof pseudo);
}

const unsigned char kIpHeader[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                                     0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};

TEST(IpChecksum, KnownHeaderGetsB861WhateverTheFieldHeld)
{
    for (unsigned field : {0x0000u, 0xFFFFu, 0xB861u, 0x1234u, 0x479Eu}) {
        unsigned char header[20];
        std::copy(std::begin(kIpHeader), std::end(kIpHeader), header);
        putValue16(field, header, 10);
        EXPECT_EQ(calculateChecksum(header, 0), 0xB861) << std::hex << field;
        setIpChecksum(header);
        EXPECT_EQ(header[10], 0xB8);
        EXPECT_EQ(header[11], 0x61);
        EXPECT_TRUE(std::equal(header, header + 10, kIpHeader));
        EXPECT_TRUE(std::equal(header + 12, header + 20, kIpHeader + 12));
    }
}

TEST(IpChecksum, ValidHeaderIsLeftUnchanged)
{
    unsigned char header[20];
    std::copy(std::begin(kIpHeader), std::end(kIpHeader), header);
    setIpChecksum(header);
    unsigned char again[20];
    std::copy(std::begin(header), std::end(header), again);
    setIpChecksum(again);
    EXPECT_TRUE(std::equal(header, header + 20, again));
    EXPECT_EQ(calculateChecksum(header, 0), getUnsigned16(header, 10));
    EXPECT_EQ(onesSum(header, 20), 0xFFFFu); // a valid header sums to all ones
}

TEST(IpChecksum, HeadersWithOptionsAtOddOffsetsMatchTheReference)
{
    std::mt19937 random(1071);
    for (int round = 0; round < 200; ++round) {
        const int ihl = 5 + round % 11; // 20 to 60 bytes
        const int offset = 1 + 2 * (round % 4);
        std::vector<unsigned char> buf(static_cast<size_t>(offset + 4 * ihl + 3));
        for (unsigned char &b : buf)
            b = static_cast<unsigned char>(random());
        unsigned char *header = buf.data() + offset;
        header[0] = static_cast<unsigned char>(0x40 | ihl);
        std::vector<unsigned char> zeroed(header, header + 4 * ihl);
        zeroed[10] = zeroed[11] = 0;
        const int expected = rfc1071(zeroed.data(), zeroed.size());
        EXPECT_EQ(calculateChecksum(buf.data(), offset), expected) << "ihl " << ihl;
    }
}

// A TCP segment from 198.18.0.1 to 198.18.0.2 built by hand.
constexpr uint32_t kSrc = 0xC6120001; // 198.18.0.1
constexpr uint32_t kDst = 0xC6120002; // 198.18.0.2

TEST(TcpChecksum, HandBuiltSegments)
{
    // Checksums worked out separately for these two segments: a SYN without payload and a
    // PSH|ACK answer carrying the odd-length payload "hello".
    struct Case {
        const char *name;
        std::vector<unsigned char> segment;
        uint32_t src, dst;
        int checksum;
    };
    const Case cases[] = {
        {"SYN 40000 -> 80",
         {0x9c, 0x40, 0x00, 0x50, 0x01, 0x02, 0x03, 0x04, 0x00, 0x00,
          0x00, 0x00, 0x50, 0x02, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00},
         kSrc,
         kDst,
         0x8324},
        {"PSH|ACK 80 -> 40000 with 'hello'",
         {0x00, 0x50, 0x9c, 0x40, 0x0a, 0x0b, 0x0c, 0x0d, 0x01, 0x02, 0x03, 0x05, 0x50,
          0x18, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 'h',  'e',  'l',  'l',  'o'},
         kDst,
         kSrc,
         0x271e},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> seg = c.segment;
        const int length = static_cast<int>(seg.size());
        const int payload = length - 20;
        EXPECT_EQ(calculateTcpChecksum(seg.data(), 0, payload, c.src, c.dst, length), c.checksum)
            << c.name;
        putValue16(0xABCD, seg.data(), 16); // whatever the field holds
        setTcpChecksum(seg.data(), payload, c.src, c.dst, length);
        EXPECT_EQ(getUnsigned16(seg.data(), 16), c.checksum) << c.name;
        // The field now holds the right value: computing again yields that same value.
        EXPECT_EQ(calculateTcpChecksum(seg.data(), 0, payload, c.src, c.dst, length), c.checksum)
            << c.name;
    }
}

TEST(TcpChecksum, RandomSegmentsMatchTheReference)
{
    std::mt19937 random(793);
    for (int round = 0; round < 400; ++round) {
        const int dataOffset = 5 + round % 11; // 20 to 60 header bytes
        const int headerLength = 4 * dataOffset;
        const int payload = static_cast<int>(random() % 1501); // odd lengths included
        const int tcpLength = headerLength + payload;
        const int offset = static_cast<int>(random() % 5); // odd offsets too
        const uint32_t src = static_cast<uint32_t>(random());
        const uint32_t dst = static_cast<uint32_t>(random());
        std::vector<unsigned char> buf(static_cast<size_t>(offset + tcpLength));
        for (unsigned char &b : buf)
            b = static_cast<unsigned char>(random());
        unsigned char *seg = buf.data() + offset;
        seg[12] = static_cast<unsigned char>(dataOffset << 4 | (seg[12] & 0x0f));

        std::vector<unsigned char> zeroed(seg, seg + tcpLength);
        zeroed[16] = zeroed[17] = 0;
        const int expected = rfc1071(zeroed.data(), zeroed.size(),
                                     pseudoSum(src, dst, static_cast<size_t>(tcpLength)));
        ASSERT_EQ(calculateTcpChecksum(buf.data(), offset, payload, src, dst, tcpLength), expected)
            << "round " << round << " length " << tcpLength << " offset " << offset;

        // Stored, the segment and pseudo-header sum to all ones, as a receiver checks it.
        std::vector<unsigned char> copy(seg, seg + tcpLength);
        setTcpChecksum(copy.data(), payload, src, dst, tcpLength);
        ASSERT_EQ(
            onesSum(copy.data(), copy.size(), pseudoSum(src, dst, static_cast<size_t>(tcpLength))),
            0xFFFFu)
            << "round " << round;
    }
}

TEST(TcpChecksum, LargestSegmentDoesNotOverflowTheSum)
{
    // 65535 bytes of 0xFF: the widest sum a segment can produce.
    std::vector<unsigned char> seg(65535, 0xFF);
    seg[12] = 0xF0 | (seg[12] & 0x0f);
    const int tcpLength = static_cast<int>(seg.size());
    std::vector<unsigned char> zeroed = seg;
    zeroed[16] = zeroed[17] = 0;
    const int expected =
        rfc1071(zeroed.data(), zeroed.size(), pseudoSum(0xFFFFFFFF, 0xFFFFFFFF, seg.size()));
    EXPECT_EQ(
        calculateTcpChecksum(seg.data(), 0, tcpLength - 60, 0xFFFFFFFF, 0xFFFFFFFF, tcpLength),
        expected);
}

} // namespace
