/*
 * Packet field access and the Internet checksums (RFC 791, RFC 793, RFC 1071).
 *
 * Sums are kept in a 64-bit signed accumulator: they start with the negated checksum field
 * (which then cancels when the field is summed with the rest) and a 64 KiB segment's words,
 * pseudo-header included, stay far below 2^32, so two folds bring any sum to 16 bits.
 */
#include "nvxcksum.h"

#include <stdint.h>

namespace
{

unsigned byteAt(const unsigned char *px, int offset)
{
    return px[offset];
}

void storeByte(unsigned x, unsigned char *px, int offset)
{
    px[offset] = static_cast<unsigned char>(x & 0xffu);
}

/* Sum of the big-endian words of count bytes; an odd last byte is the high byte of a word. */
int64_t sumWords(const unsigned char *buf, int offset, int count)
{
    int64_t sum = 0;
    int i = 0;
    for (; i + 1 < count; i += 2)
        sum += getUnsigned16(buf, offset + i);
    if (i < count)
        sum += static_cast<int64_t>(byteAt(buf, offset + i)) << 8;
    return sum;
}

/* Folds the carries into 16 bits twice and returns the one's complement. */
int foldAndComplement(int64_t sum)
{
    sum = (sum >> 16) + (sum & 0xffff);
    sum += sum >> 16;
    return static_cast<int>(~sum & 0xffff);
}

} // namespace

extern "C" {

unsigned int getUnsigned8(const unsigned char *px, int offset)
{
    return byteAt(px, offset);
}

int getSigned16(const unsigned char *px, int offset)
{
    int value = getUnsigned16(px, offset);
    return value >= 0x8000 ? value - 0x10000 : value;
}

int getUnsigned16(const unsigned char *px, int offset)
{
    return static_cast<int>(byteAt(px, offset) << 8 | byteAt(px, offset + 1));
}

int getReverse16(const unsigned char *px, int offset)
{
    return static_cast<int>(byteAt(px, offset + 1) << 8 | byteAt(px, offset));
}

int getUnsigned24(const unsigned char *px, int offset)
{
    return static_cast<int>(byteAt(px, offset) << 16 | byteAt(px, offset + 1) << 8 |
                            byteAt(px, offset + 2));
}

int getSigned32(const unsigned char *px, int offset)
{
    return static_cast<int>(getUnsigned32(px, offset));
}

unsigned int getUnsigned32(const unsigned char *px, int offset)
{
    return byteAt(px, offset) << 24 | byteAt(px, offset + 1) << 16 | byteAt(px, offset + 2) << 8 |
           byteAt(px, offset + 3);
}

int getReverse32(const unsigned char *px, int offset)
{
    return static_cast<int>(byteAt(px, offset + 3) << 24 | byteAt(px, offset + 2) << 16 |
                            byteAt(px, offset + 1) << 8 | byteAt(px, offset));
}

void getUnsigned8array(unsigned char *dst, int cnt, const unsigned char *px, int offset)
{
    for (int i = 0; i < cnt; ++i)
        dst[i] = px[offset + i];
}

void putValue8(unsigned int x, unsigned char *px, int offset)
{
    storeByte(x, px, offset);
}

void putValue16(unsigned int x, unsigned char *px, int offset)
{
    storeByte(x >> 8, px, offset);
    storeByte(x, px, offset + 1);
}

void putReverse16(unsigned int x, unsigned char *px, int offset)
{
    storeByte(x, px, offset);
    storeByte(x >> 8, px, offset + 1);
}

void putValue32(unsigned int x, unsigned char *px, int offset)
{
    storeByte(x >> 24, px, offset);
    storeByte(x >> 16, px, offset + 1);
    storeByte(x >> 8, px, offset + 2);
    storeByte(x, px, offset + 3);
}

void putReverse32(unsigned int x, unsigned char *px, int offset)
{
    storeByte(x, px, offset);
    storeByte(x >> 8, px, offset + 1);
    storeByte(x >> 16, px, offset + 2);
    storeByte(x >> 24, px, offset + 3);
}

int calculateChecksum(const unsigned char *buf, int offset)
{
    const int headerLength = 4 * static_cast<int>(byteAt(buf, offset) & 0x0fu);
    int64_t sum = -static_cast<int64_t>(getUnsigned16(buf, offset + 10));
    sum += sumWords(buf, offset, headerLength);
    return foldAndComplement(sum);
}

void setIpChecksum(unsigned char *buf)
{
    putValue16(0, buf, 10);
    putValue16(static_cast<unsigned>(calculateChecksum(buf, 0)), buf, 10);
}

int calculateTcpChecksum(const unsigned char *buf, int offset, int data_length,
                         unsigned int sourceIp, unsigned int destIp, int tcpLength)
{
    const int headerLength = 4 * static_cast<int>(byteAt(buf, offset + 12) >> 4);
    int64_t sum = -static_cast<int64_t>(getUnsigned16(buf, offset + 16));
    sum += sumWords(buf, offset, headerLength + data_length);
    sum += sourceIp & 0xffffu;
    sum += sourceIp >> 16;
    sum += destIp & 0xffffu;
    sum += destIp >> 16;
    sum += 6; /* protocol number of TCP */
    sum += tcpLength;
    return foldAndComplement(sum);
}

void setTcpChecksum(unsigned char *buf, int data_length, unsigned int sourceIp, unsigned int destIp,
                    int tcpLength)
{
    putValue16(0, buf, 16);
    putValue16(static_cast<unsigned>(
                   calculateTcpChecksum(buf, 0, data_length, sourceIp, destIp, tcpLength)),
               buf, 16);
}

} // extern "C"
