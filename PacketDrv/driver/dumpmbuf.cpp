/*
 * dumpmbuf: a message and all its continuation blocks on the console, block by block, with the
 * names of message types, DLPI primitives and message flags.
 *
 * - Safe on a live system: the chain is walked iteratively, the flag text is built in a buffer
 *   of the call, and the protocol line of a block reads its first word (or the ioctl command)
 *   only when the block holds those bytes; otherwise the name printed is "UNKNOWN".
 * - The hex lines show the data buffer from its start, 16 bytes a line and at most 8 lines;
 *   no byte at or beyond the buffer's limit is read. A last partial line shows the bytes there
 *   are, in the same grouping.
 * - The message counter is incremented once per block; it is a statistic shared by every
 *   context, updated atomically (relaxed: nothing else is ordered against it).
 *
 * Context: any; no locks, no allocation.
 */
#include "dumpmbuf.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro renames printf */
#include <string.h>
#include <sys/cmn_err.h>
#include <sys/dlpi.h>

static int mbufCount; /* a: blocks dumped since load */

static inline unsigned x32(const void *p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

const char *GetStreamsMsgTypeStr(int mtype)
{
    switch (mtype) {
    case M_DATA:
        return "M_DATA";
    case M_PROTO:
        return "M_PROTO";
    case M_BREAK:
        return "M_BREAK";
    case M_PASSFP:
        return "M_PASSFP";
    case M_EVENT:
        return "M_EVENT";
    case M_SIG:
        return "M_SIG";
    case M_DELAY:
        return "M_DELAY";
    case M_CTL:
        return "M_CTL";
    case M_IOCTL:
        return "M_IOCTL";
    case M_SETOPTS:
        return "M_SETOPTS";
    case M_RSE:
        return "M_RSE";
    case M_IOCACK:
        return "M_IOCACK";
    case M_IOCNAK:
        return "M_IOCNAK";
    case M_PCPROTO:
        return "M_PCPROTO";
    case M_PCSIG:
        return "M_PCSIG";
    case M_READ:
        return "M_READ";
    case M_FLUSH:
        return "M_FLUSH";
    case M_STOP:
        return "M_STOP";
    case M_START:
        return "M_START";
    case M_HANGUP:
        return "M_HANGUP";
    case M_ERROR:
        return "M_ERROR";
    case M_COPYIN:
        return "M_COPYIN";
    case M_COPYOUT:
        return "M_COPYOUT";
    case M_IOCDATA:
        return "M_IOCDATA";
    case M_PCRSE:
        return "M_PCRSE";
    case M_STOPI:
        return "M_STOPI";
    case M_STARTI:
        return "M_STARTI";
    case M_PCEVENT:
        return "M_PCEVENT";
    case M_UNHANGUP:
        return "M_UNHANGUP";
    default:
        return "UNKNOWN";
    }
}

/* DLPI version 2 primitive names by code; code 22 is the standard's gap. */
static const char *const dlpiNames[] = {
    "DL_INFO_REQ",
    "DL_BIND_REQ",
    "DL_UNBIND_REQ",
    "DL_INFO_ACK",
    "DL_BIND_ACK",
    "DL_ERROR_ACK",
    "DL_OK_ACK",
    "DL_UNITDATA_REQ",
    "DL_UNITDATA_IND",
    "DL_UDERROR_IND",
    "DL_UDQOS_REQ",
    "DL_ATTACH_REQ",
    "DL_DETACH_REQ",
    "DL_CONNECT_REQ",
    "DL_CONNECT_IND",
    "DL_CONNECT_RES",
    "DL_CONNECT_CON",
    "DL_TOKEN_REQ",
    "DL_TOKEN_ACK",
    "DL_DISCONNECT_REQ",
    "DL_DISCONNECT_IND",
    "DL_SUBS_UNBIND_REQ",
    "UNKNOWN",
    "DL_RESET_REQ",
    "DL_RESET_IND",
    "DL_RESET_RES",
    "DL_RESET_CON",
    "DL_SUBS_BIND_REQ",
    "DL_SUBS_BIND_ACK",
    "DL_ENABMULTI_REQ",
    "DL_DISABMULTI_REQ",
    "DL_PROMISCON_REQ",
    "DL_PROMISCOFF_REQ",
    "DL_DATA_ACK_REQ",
    "DL_DATA_ACK_IND",
    "DL_DATA_ACK_STATUS_IND",
    "DL_REPLY_REQ",
    "DL_REPLY_IND",
    "DL_REPLY_STATUS_IND",
    "DL_REPLY_UPDATE_REQ",
    "DL_REPLY_UPDATE_STATUS_IND",
    "DL_XID_REQ",
    "DL_XID_IND",
    "DL_XID_RES",
    "DL_XID_CON",
    "DL_TEST_REQ",
    "DL_TEST_IND",
    "DL_TEST_RES",
    "DL_TEST_CON",
    "DL_PHYS_ADDR_REQ",
    "DL_PHYS_ADDR_ACK",
    "DL_SET_PHYS_ADDR_REQ",
    "DL_GET_STATISTICS_REQ",
    "DL_GET_STATISTICS_ACK",
};
static_assert(sizeof(dlpiNames) / sizeof(dlpiNames[0]) == DL_GET_STATISTICS_ACK + 1,
              "one name per DLPI code 0 to 53");

const char *GetStreamsDLPIStr(U32 dltype)
{
    if (dltype >= sizeof(dlpiNames) / sizeof(dlpiNames[0]))
        return "UNKNOWN";
    return dlpiNames[dltype];
}

const char *GetIoctlStr(int cmd)
{
    (void)cmd;
    return "UNKNOWN";
}

/* Appends text to the terminated string in buf (capacity cap), cutting it to fit. */
static void append(char *buf, size_t cap, const char *text)
{
    size_t len = strlen(buf);
    while (*text != '\0' && len + 1 < cap)
        buf[len++] = *text++;
    buf[len] = '\0';
}

char *GetMblkFlagsStr(U32 flags, char *szBuffer, U32 ulLength)
{
    if (szBuffer == nullptr || ulLength == 0)
        return szBuffer;
    static const char *const names[] = {"MSGMARK",  "MSGNOLOOP",   "MSGDELIM",
                                        "MSGNOGET", "MSGMARKNEXT", "MSGNOTMARKNEXT"};
    szBuffer[0] = '\0';
    for (unsigned bit = 0; bit < 32; bit++) {
        if ((flags & (1u << bit)) == 0)
            continue;
        append(szBuffer, ulLength, bit < 6 ? names[bit] : "UNKNOWN");
        if (bit < 31)
            append(szBuffer, ulLength, " ");
    }
    return szBuffer;
}

/* Bytes in the M_DATA blocks of the chain from mp on. */
static int data_length_from(const mblk_t *mp)
{
    long total = 0;
    for (const mblk_t *b = mp; b != nullptr; b = b->b_cont)
        if (b->b_datap != nullptr && b->b_datap->db_type == M_DATA && b->b_wptr > b->b_rptr)
            total += b->b_wptr - b->b_rptr;
    return static_cast<int>(total);
}

/* The first word of the block, when it holds one. */
static bool first_word(const mblk_t *mp, U32 *word)
{
    if (mp->b_rptr == nullptr || mp->b_wptr < mp->b_rptr ||
        static_cast<size_t>(mp->b_wptr - mp->b_rptr) < sizeof(U32))
        return false;
    memcpy(word, mp->b_rptr, sizeof(U32));
    return true;
}

/* The ioctl command of an M_IOCTL / M_IOCACK block, when the block holds it. */
static bool ioctl_cmd(const mblk_t *mp, int *cmd)
{
    if (mp->b_rptr == nullptr || mp->b_wptr < mp->b_rptr ||
        static_cast<size_t>(mp->b_wptr - mp->b_rptr) < sizeof(int))
        return false;
    memcpy(cmd, mp->b_rptr, sizeof(int)); /* ioc_cmd is the first field of struct iocblk */
    return true;
}

static void print_protocol_line(const mblk_t *mp, int direction)
{
    const unsigned char type = mp->b_datap->db_type;
    if (direction != DIR_INBOUND && direction != DIR_OUTBOUND)
        return;
    if (type == M_PROTO || type == M_PCPROTO) {
        U32 prim = 0;
        printf("DLPI type = %s\n", first_word(mp, &prim) ? GetStreamsDLPIStr(prim) : "UNKNOWN");
        return;
    }
    int cmd = 0;
    if (direction == DIR_INBOUND && type == M_IOCACK) {
        const bool known = ioctl_cmd(mp, &cmd);
        printf("IOCACK cmd = %x:%s\n", static_cast<unsigned>(cmd),
               known ? GetIoctlStr(cmd) : "UNKNOWN");
    } else if (direction == DIR_OUTBOUND && type == M_IOCTL) {
        const bool known = ioctl_cmd(mp, &cmd);
        printf("IOCTL cmd = %x:%s\n", static_cast<unsigned>(cmd),
               known ? GetIoctlStr(cmd) : "UNKNOWN");
    }
}

static const char hexDigits[] = "0123456789abcdef";

/* One hex line of n (1 to 15) bytes, grouped like a whole line. */
static void print_partial_line(unsigned offset, const unsigned char *p, size_t n)
{
    char line[64];
    size_t len = 0;
    line[len++] = '\t';
    for (int shift = 12; shift >= 0; shift -= 4)
        line[len++] = hexDigits[(offset >> shift) & 0xf];
    line[len++] = ' ';
    line[len++] = '-';
    for (size_t i = 0; i < n; i++) {
        if (i % 2 == 0) {
            line[len++] = ' ';
            if (i == 8)
                line[len++] = ' ';
        }
        line[len++] = hexDigits[p[i] >> 4];
        line[len++] = hexDigits[p[i] & 0xf];
    }
    line[len++] = '\n';
    line[len] = '\0';
    printf("%s", line);
}

static void print_hex_lines(const dblk_t *db)
{
    if (db->db_base == nullptr || db->db_lim <= db->db_base)
        return;
    const size_t size = static_cast<size_t>(db->db_lim - db->db_base);
    const size_t shown = size < 128 ? size : 128;
    const unsigned char *p = db->db_base;
    for (size_t off = 0; off < shown; off += 16) {
        if (shown - off < 16) {
            print_partial_line(static_cast<unsigned>(off), p + off, shown - off);
            break;
        }
        const unsigned char *b = p + off;
        printf("\t%04x - %02x%02x %02x%02x %02x%02x %02x%02x  %02x%02x %02x%02x %02x%02x "
               "%02x%02x\n",
               static_cast<unsigned>(off), b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8],
               b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    }
}

void dumpmbuf(queue_t *q, mblk_t *mp, mblk_t *parent, int direction)
{
    if (mp == nullptr) {
        printf("NULL MBLK!\n");
        return;
    }
    const char *dirWord = direction == DIR_INBOUND ? "inbound" : "outbound";
    char flagText[NVX_FLAGSTR_LEN];

    for (mblk_t *b = mp; b != nullptr; parent = b, b = b->b_cont) {
        const int count = __atomic_add_fetch(&mbufCount, 1, __ATOMIC_RELAXED);
        const dblk_t *db = b->b_datap;
        const char *typeWord = db != nullptr ? GetStreamsMsgTypeStr(db->db_type) : "UNKNOWN";

        if (parent != nullptr)
            printf("CHAINED(%d): 0x%x parent 0x%x (q=0x%x): %s - %s\n", count, x32(b), x32(parent),
                   x32(q), dirWord, typeWord);
        else
            printf("MBLK(%d): 0x%x (q=0x%x): %s - %s\n", count, x32(b), x32(q), dirWord, typeWord);
        printf("b_next=%x b_prev=%x b_cont=%x ", x32(b->b_next), x32(b->b_prev), x32(b->b_cont));
        printf("b_rptr=%x b_wptr=%x b_datap=%x\n", x32(b->b_rptr), x32(b->b_wptr), x32(db));
        /* This platform's blocks carry no flow-trace flag; b_ftflag prints 0. */
        printf("b_band=%x b_flag=%x b_ftflag=%x b_queue=%x\n", static_cast<unsigned>(b->b_band),
               static_cast<unsigned>(b->b_flag), 0u, x32(b->b_queue));
        printf("FLAGS: %s\n", GetMblkFlagsStr(b->b_flag, flagText, sizeof(flagText)));

        if (db != nullptr) {
            printf("Datablock:\n");
            printf("db_base=%x db_lim=%x db_ref=%x db_type=%x\n", x32(db->db_base), x32(db->db_lim),
                   static_cast<unsigned>(db->db_ref), static_cast<unsigned>(db->db_type));
            printf("db_flags=%x\n", static_cast<unsigned>(db->db_flags));
            print_protocol_line(b, direction);
            const long size = db->db_lim - db->db_base;
            printf("\tpacket buffer size: %d  packet length: %d\n", static_cast<int>(size),
                   data_length_from(b));
            print_hex_lines(db);
        }
        if (b->b_cont == nullptr)
            printf("\n");
    }
}
