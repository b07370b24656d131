/*
 * Frame geometry: the link header in front of an inbound block's read pointer, and the
 * destination-address tests of the capture decision.
 *
 * Inbound frames arrive with the read pointer already past the link header, which the interface
 * driver leaves in the same data buffer; outbound fast-path frames start with their link header.
 * The address tests read six bytes only when they lie between the buffer start and the block's
 * write pointer: a frame too short for them does not match.
 *
 * Context: any; no locks.
 */
#include "nvxgeom.h"

#include <string.h>

#define ETHER_HEADER_LEN 14
#define SNAP_HEADER_LEN  22
#define ETHER_MAX_LEN    1500 /* largest 802.3 length field; larger values are Ethernet II types */
#define MAC_LEN          6

int HeaderLen(mblk_t *mp)
{
    if (mp == nullptr || mp->b_datap == nullptr || mp->b_rptr < mp->b_datap->db_base)
        return 0;
    const ptrdiff_t n = mp->b_rptr - mp->b_datap->db_base;
    if (n < ETHER_HEADER_LEN)
        return 0;
    if (n < SNAP_HEADER_LEN)
        return ETHER_HEADER_LEN;
    /* The length/type field of a 22-byte 802.3 header with LLC and SNAP. */
    const BYTE *lenField = mp->b_rptr - 10;
    const unsigned value = (static_cast<unsigned>(lenField[0]) << 8) | lenField[1];
    return value > ETHER_MAX_LEN ? ETHER_HEADER_LEN : SNAP_HEADER_LEN;
}

BYTE *get_dest_mac(mblk_t *mp, int dir)
{
    if (dir == DIR_INBOUND)
        return mp->b_rptr - HeaderLen(mp);
    return mp->b_rptr;
}

/* The six destination bytes, or NULL when the block does not hold them. */
static const BYTE *dest_mac_in_block(mblk_t *mp, int dir)
{
    if (mp == nullptr || mp->b_datap == nullptr)
        return nullptr;
    const BYTE *mac = get_dest_mac(mp, dir);
    if (mac < mp->b_datap->db_base || mp->b_wptr > mp->b_datap->db_lim || mac > mp->b_wptr ||
        mp->b_wptr - mac < MAC_LEN)
        return nullptr;
    return mac;
}

int is_broadcast(mblk_t *mp, int dir)
{
    const BYTE *mac = dest_mac_in_block(mp, dir);
    if (mac == nullptr)
        return 0;
    for (int i = 0; i < MAC_LEN; i++)
        if (mac[i] != 0xff)
            return 0;
    return 1;
}

int is_matching(mblk_t *mp, const BYTE *mac, int dir)
{
    const BYTE *dest = dest_mac_in_block(mp, dir);
    if (dest == nullptr || mac == nullptr)
        return 0;
    return memcmp(dest, mac, MAC_LEN) == 0 ? 1 : 0;
}
