/*
 * Building TCP reset frames from a held segment's headers.
 *
 * Numbers (RFC 793 section 3.4, RFC 5961 section 3.2): a reset is accepted by a synchronised
 * endpoint only when its sequence number is exactly the next one that endpoint expects. The
 * held segment never reached its receiver, so the receiver still expects the held segment's own
 * sequence number; the sender expects what the held segment acknowledged. A sender without an
 * acknowledged state (a SYN) accepts a reset only with an acknowledgement of its segment.
 *
 * The reset always carries a 20-byte IP header (held options are not copied), the held frame's
 * DF bit but never its MF bit or a fragment offset (a reset must not wait for reassembly), and a
 * 20-byte TCP header. Frames in 802.3/SNAP framing get no reset: the 54-byte frame has room for
 * an Ethernet II header only.
 *
 * Context: any; no locks. Traces at level 512.
 */
#include "nvxreset.h"

#include "debug.h"

#include "nvxcksum.h"
#include "nvxutil.h"

#define ETHER_HEADER_LEN 14
#define IP_HEADER_LEN    20
#define TCP_HEADER_LEN   20
#define ETHER_MAX_LEN    1500

#define TH_FIN 0x01
#define TH_SYN 0x02
#define TH_RST 0x04
#define TH_ACK 0x10

#define IP_DF      0x4000
#define IP_OFFMASK 0x1fff

static inline unsigned x32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

int build_reset(const BYTE *from, long fromLength, BYTE *to, int turn_around)
{
    _dlprintf(512, "build_reset: from=%x to=%x\n", x32(from), x32(to));
    if (from == nullptr || to == nullptr || fromLength < ETHER_HEADER_LEN)
        return 0;

    const int type = getUnsigned16(from, 12);
    if (type <= ETHER_MAX_LEN || type != ETHERTYPE_IP_NVX) {
        _dlprintf(512, "build_reset: ether_type %x invalid\n", static_cast<unsigned>(type));
        return 0;
    }

    const BYTE *ip = from + ETHER_HEADER_LEN;
    if (fromLength < ETHER_HEADER_LEN + IP_HEADER_LEN)
        return 0;
    const int ipHeaderLength = 4 * (ip[0] & 0x0f);
    const int ipTotalLength = getUnsigned16(ip, 2);
    const unsigned protocol = ip[9];
    if (protocol != 6) {
        if (protocol == 17 || protocol == 1)
            _dlprintf(512, "build_reset: we ignore UDP and ICMP\n");
        else
            _dlprintf(512, "build_reset: ip protocol %x invalid\n", protocol);
        return 0;
    }
    if (ipTotalLength < ipHeaderLength + TCP_HEADER_LEN) {
        _dlprintf(512, "build_reset: bad iplen %x\n", static_cast<unsigned>(ipTotalLength));
        return 0;
    }
    const int fragment = getUnsigned16(ip, 6);
    if (ipHeaderLength < IP_HEADER_LEN || (fragment & IP_OFFMASK) != 0 ||
        fromLength < ETHER_HEADER_LEN + ipHeaderLength + TCP_HEADER_LEN)
        return 0;

    const BYTE *tcp = ip + ipHeaderLength;
    const unsigned tcpFlags = tcp[13];
    if ((tcpFlags & TH_RST) != 0) {
        _dlprintf(512, "build_reset: already reset\n");
        return 0;
    }

    const unsigned heldSeq = getUnsigned32(tcp, 4);
    const unsigned heldAck = getUnsigned32(tcp, 8);
    const int tcpHeaderLength = 4 * (tcp[12] >> 4);
    int segmentLength = ipTotalLength - ipHeaderLength - tcpHeaderLength;
    if (segmentLength < 0)
        segmentLength = 0;
    if ((tcpFlags & TH_SYN) != 0)
        segmentLength++;
    if ((tcpFlags & TH_FIN) != 0)
        segmentLength++;

    unsigned seq, ack, flags;
    if (!turn_around) {
        seq = heldSeq;
        ack = 0;
        flags = TH_RST;
    } else if ((tcpFlags & TH_ACK) != 0) {
        seq = heldAck;
        ack = 0;
        flags = TH_RST;
    } else {
        seq = 0;
        ack = heldSeq + static_cast<unsigned>(segmentLength);
        flags = TH_RST | TH_ACK;
    }

    /* Ethernet II header. */
    const BYTE *dstMac = turn_around ? from + 6 : from;
    const BYTE *srcMac = turn_around ? from : from + 6;
    for (int i = 0; i < 6; i++) {
        to[i] = dstMac[i];
        to[6 + i] = srcMac[i];
    }
    putValue16(static_cast<unsigned>(type), to, 12);

    /* IPv4 header, 20 bytes. */
    BYTE *rip = to + ETHER_HEADER_LEN;
    const unsigned srcIp = getUnsigned32(ip, turn_around ? 16 : 12);
    const unsigned dstIp = getUnsigned32(ip, turn_around ? 12 : 16);
    putValue8(0x45, rip, 0);
    putValue8(ip[1], rip, 1);
    putValue16(IP_HEADER_LEN + TCP_HEADER_LEN, rip, 2);
    putValue16(static_cast<unsigned>(getUnsigned16(ip, 4)), rip, 4);
    putValue16(static_cast<unsigned>(fragment) & IP_DF, rip, 6);
    putValue8(ip[8], rip, 8);
    putValue8(6, rip, 9);
    putValue16(0, rip, 10);
    putValue32(srcIp, rip, 12);
    putValue32(dstIp, rip, 16);

    /* TCP header, 20 bytes. */
    BYTE *rtcp = rip + IP_HEADER_LEN;
    putValue16(static_cast<unsigned>(getUnsigned16(tcp, turn_around ? 2 : 0)), rtcp, 0);
    putValue16(static_cast<unsigned>(getUnsigned16(tcp, turn_around ? 0 : 2)), rtcp, 2);
    putValue32(seq, rtcp, 4);
    putValue32(ack, rtcp, 8);
    putValue8(0x50, rtcp, 12);
    putValue8(flags, rtcp, 13);
    putValue16(static_cast<unsigned>(getUnsigned16(tcp, 14)), rtcp, 14);
    putValue16(0, rtcp, 16);
    putValue16(0, rtcp, 18);

    setIpChecksum(rip);
    setTcpChecksum(rtcp, 0, srcIp, dstIp, TCP_HEADER_LEN);
    return 1;
}

mblk_t *allocate_reset_packet(mblk_t *orig, int dir, int intended_dir)
{
    mblk_t *mp = allocb(NVX_RESET_FRAME_LEN, BPRI_MED);
    if (mp == nullptr)
        return nullptr;

    const BYTE *from = GetMacFromMbuf(orig, dir);
    long available = 0;
    if (from != nullptr && orig->b_wptr >= from && orig->b_wptr <= orig->b_datap->db_lim)
        available = orig->b_wptr - from;
    BYTE *base = mp->b_datap->db_base;
    if (available == 0 || !build_reset(from, available, base, dir != intended_dir)) {
        freeb(mp);
        return nullptr;
    }
    mp->b_rptr = base;
    mp->b_wptr = base + NVX_RESET_FRAME_LEN;
    if (intended_dir == DIR_INBOUND)
        mp->b_rptr += ETHER_HEADER_LEN;
    mp->b_datap->db_type = M_DATA;
    return mp;
}
