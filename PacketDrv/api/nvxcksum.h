/*
 * Packet field access and checksums, shared by the nvx kernel object and libnvxapi.
 *
 * A packet buffer is a plain byte array addressed by a signed int offset. Every access goes byte
 * by byte: no alignment is needed and the result does not depend on the host's byte order.
 * Readers take (px, offset); writers take (x, px, offset) and store the low bits of x. "Reverse"
 * means little-endian; everything else is big-endian (network order).
 *
 * IPv4 addresses are passed as 32-bit numbers whose most significant byte is the first octet
 * (the four header bytes read big-endian).
 *
 * Context: any; no locks, no allocation.
 */
#ifndef NVX_CKSUM_H
#define NVX_CKSUM_H

#ifdef __cplusplus
extern "C" {
#endif

unsigned int getUnsigned8(const unsigned char *px, int offset); /* 0 to 255 */
int getSigned16(const unsigned char *px, int offset);           /* sign-extended from bit 15 */
int getUnsigned16(const unsigned char *px, int offset);         /* 0 to 65535 */
int getReverse16(const unsigned char *px, int offset);          /* little-endian, 0 to 65535 */
int getUnsigned24(const unsigned char *px, int offset);         /* 0 to 16777215 */
int getSigned32(const unsigned char *px, int offset);           /* bit pattern of the 32 bits */
unsigned int getUnsigned32(const unsigned char *px, int offset);
int getReverse32(const unsigned char *px, int offset); /* little-endian bit pattern */
void getUnsigned8array(unsigned char *dst, int cnt, const unsigned char *px, int offset);

void putValue8(unsigned int x, unsigned char *px, int offset);
void putValue16(unsigned int x, unsigned char *px, int offset);   /* high byte first */
void putReverse16(unsigned int x, unsigned char *px, int offset); /* low byte first */
void putValue32(unsigned int x, unsigned char *px, int offset);   /* most significant first */
void putReverse32(unsigned int x, unsigned char *px, int offset); /* least significant first */

/* Checksum of the IPv4 header at buf + offset, as if its checksum field were zero. */
int calculateChecksum(const unsigned char *buf, int offset);

/* Stores the header checksum of the IPv4 header at buf in its bytes 10 and 11. */
void setIpChecksum(unsigned char *buf);

/*
 * Checksum of the TCP segment at buf + offset (header and data_length payload bytes) with the
 * pseudo-header of sourceIp, destIp, protocol 6 and tcpLength, as if its checksum field were zero.
 */
int calculateTcpChecksum(const unsigned char *buf, int offset, int data_length,
                         unsigned int sourceIp, unsigned int destIp, int tcpLength);

/* Stores the TCP checksum of the segment at buf in its bytes 16 and 17. */
void setTcpChecksum(unsigned char *buf, int data_length, unsigned int sourceIp, unsigned int destIp,
                    int tcpLength);

#ifdef __cplusplus
}
#endif

#endif /* NVX_CKSUM_H */
