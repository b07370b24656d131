/*
 * Frame-location utilities and the dotted-quad formatter. See nvxutil.h for where a frame's
 * link header starts; every routine here checks that the bytes it reads lie in the first
 * block's data buffer (up to the write pointer) before it reads them.
 *
 * Context: any; no locks.
 */
#include "nvxutil.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */
#include <string.h>
#include <sys/cmn_err.h>

#include "dumpmbuf.h"

const BYTE SNAPHDR[6] = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};

#define ETHER_HEADER_LEN 14
#define SNAP_HEADER_LEN  22
#define ETHER_MAX_LEN    1500

static inline unsigned x32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

static inline unsigned be16(const BYTE *p)
{
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

BYTE *GetMacFromMbuf(mblk_t *mp, int dir)
{
    if (mp == nullptr || mp->b_datap == nullptr || DB_TYPE(mp) != M_DATA)
        return nullptr;
    if (dir != DIR_INBOUND)
        return mp->b_rptr;
    if (mp->b_rptr - mp->b_datap->db_base < ETHER_HEADER_LEN)
        return nullptr;
    return mp->b_rptr - ETHER_HEADER_LEN;
}

int getMacLength(const BYTE *base)
{
    if (be16(base + 12) <= ETHER_MAX_LEN && memcmp(base + 14, SNAPHDR, sizeof(SNAPHDR)) == 0)
        return SNAP_HEADER_LEN;
    return ETHER_HEADER_LEN;
}

/* Bytes of the first block from p to its write pointer (0 when p lies outside the buffer). */
static ptrdiff_t bytes_from(mblk_t *mp, const BYTE *p)
{
    if (p == nullptr || p < mp->b_datap->db_base || p > mp->b_wptr ||
        mp->b_wptr > mp->b_datap->db_lim)
        return 0;
    return mp->b_wptr - p;
}

/* getMacLength reading only the n bytes available at base; 0 without a whole 14-byte header. */
static int mac_length_within(const BYTE *base, ptrdiff_t n)
{
    if (n < ETHER_HEADER_LEN)
        return 0;
    if (be16(base + 12) <= ETHER_MAX_LEN && n >= 20 &&
        memcmp(base + 14, SNAPHDR, sizeof(SNAPHDR)) == 0)
        return SNAP_HEADER_LEN;
    return ETHER_HEADER_LEN;
}

int GetMacLengthFromMbuf(mblk_t *mp, int dir)
{
    const BYTE *base = GetMacFromMbuf(mp, dir);
    if (base == nullptr)
        return 0;
    return mac_length_within(base, bytes_from(mp, base));
}

int GetEthertypeFromMbuf(mblk_t *mp, int dir)
{
    const BYTE *base = GetMacFromMbuf(mp, dir);
    if (base == nullptr || bytes_from(mp, base) < ETHER_HEADER_LEN)
        return 0;
    return static_cast<int>(be16(base + 12));
}

BYTE *GetIPFromMbuf(mblk_t *mp, int dir)
{
    BYTE *base = GetMacFromMbuf(mp, dir);
    if (base == nullptr)
        return nullptr;
    const ptrdiff_t avail = bytes_from(mp, base);
    const int macLength = mac_length_within(base, avail);
    if (macLength == 0 || avail < macLength)
        return nullptr;

    BYTE *candidate = base + macLength;
    unsigned type;
    if (mp->b_cont != nullptr && candidate == mp->b_wptr) {
        _dlprintf(1024, "GetIPFromMbuf: ip header is in next block in chain. moving rptr\n");
        type = be16(mp->b_wptr - 2);
        candidate = mp->b_cont->b_rptr;
    } else {
        type = be16(candidate - 2);
    }

    if (type == ETHERTYPE_IP_NVX) {
        if ((reinterpret_cast<uintptr_t>(candidate) & 1) != 0) {
            printf("Unaligned: base=%x\n", x32(base));
            dumpmbuf(nullptr, mp, nullptr, dir);
        }
        return candidate;
    }
    _dlprintf(1024, "GetIPFromMbuf: ethertype %x is not IP, base=%x\n", type, x32(base));
    if (_dlevel(1024))
        dumpmbuf(nullptr, mp, nullptr, dir);
    return nullptr;
}

int is_zero(const U8 *mac)
{
    if (mac == nullptr) {
        printf("mac ptr is NULL\n");
        return 1;
    }
    for (int i = 0; i < 6; i++)
        if (mac[i] != 0)
            return 0;
    return 1;
}

char *nvx_inet_ntoa(U32 ulIpAddress, char *szBuffer, U32 ulLength)
{
    if (szBuffer == nullptr || ulLength == 0)
        return szBuffer;
    char text[16]; /* "255.255.255.255" and its terminator */
    size_t len = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned octet = (ulIpAddress >> shift) & 0xff;
        char digits[3];
        int nd = 0;
        do {
            digits[nd++] = static_cast<char>('0' + octet % 10);
            octet /= 10;
        } while (octet != 0);
        while (nd > 0)
            text[len++] = digits[--nd];
        if (shift != 0)
            text[len++] = '.';
    }
    text[len] = '\0';
    const size_t keep = len < ulLength - 1 ? len : ulLength - 1;
    memcpy(szBuffer, text, keep);
    szBuffer[keep] = '\0';
    return szBuffer;
}
