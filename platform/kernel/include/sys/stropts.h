/*
 * STREAMS user-level interface: the records and codes of ioctl(I_STR), putmsg/getmsg and the
 * stream-head ioctls. Shared by kernel and user code, so it holds no kernel-only types.
 *
 * Records are made of int and pointer fields in the target's order; a 32-bit program sees the
 * ILP32 layout (checked below).
 */
#ifndef _SYS_STROPTS_H
#define _SYS_STROPTS_H

#ifdef __cplusplus
extern "C" {
#endif

/* Stream-head ioctls ('S' << 8). */
#define STR         ('S' << 8)
#define I_NREAD     (STR | 01)
#define I_PUSH      (STR | 02)
#define I_POP       (STR | 03)
#define I_LOOK      (STR | 04)
#define I_FLUSH     (STR | 05)
#define I_SRDOPT    (STR | 06)
#define I_GRDOPT    (STR | 07)
#define I_STR       (STR | 010)
#define I_SETSIG    (STR | 011)
#define I_GETSIG    (STR | 012)
#define I_FIND      (STR | 013)
#define I_LINK      (STR | 014)
#define I_UNLINK    (STR | 015)
#define I_RECVFD    (STR | 016)
#define I_PEEK      (STR | 017)
#define I_FDINSERT  (STR | 020)
#define I_SENDFD    (STR | 021)
#define I_SWROPT    (STR | 023)
#define I_GWROPT    (STR | 024)
#define I_LIST      (STR | 025)
#define I_PLINK     (STR | 026)
#define I_PUNLINK   (STR | 027)
#define I_ANCHOR    (STR | 030)
#define I_FLUSHBAND (STR | 034)
#define I_CKBAND    (STR | 035)
#define I_GETBAND   (STR | 036)
#define I_ATMARK    (STR | 037)
#define I_SETCLTIME (STR | 040)
#define I_GETCLTIME (STR | 041)
#define I_CANPUT    (STR | 042)
#define I_SERROPT   (STR | 043)
#define I_GERROPT   (STR | 044)
#define I_ESETSIG   (STR | 045)
#define I_EGETSIG   (STR | 046)

/* I_FLUSH arguments (the same values as the M_FLUSH flags of sys/stream.h). */
#ifndef FLUSHR
#define FLUSHR    0x01
#define FLUSHW    0x02
#define FLUSHRW   0x03
#define FLUSHBAND 0x04
#endif

/* putmsg/getmsg flags and getmsg results. */
#define RS_HIPRI  0x01
#define MSG_HIPRI 0x01
#define MSG_ANY   0x02
#define MSG_BAND  0x04
#define MORECTL   1
#define MOREDATA  2

/* ic_timout: wait forever. */
#define INFTIM (-1)

/* Read options (I_SRDOPT). */
#define RNORM     0x000
#define RMSGD     0x001
#define RMSGN     0x002
#define RPROTDAT  0x004
#define RPROTDIS  0x008
#define RPROTNORM 0x010

/* I_SETSIG events. */
#define S_INPUT   0x0001
#define S_HIPRI   0x0002
#define S_OUTPUT  0x0004
#define S_MSG     0x0008
#define S_ERROR   0x0010
#define S_HANGUP  0x0020
#define S_RDNORM  0x0040
#define S_RDBAND  0x0080
#define S_WRBAND  0x0100
#define S_BANDURG 0x0200

#ifndef FMNAMESZ
#define FMNAMESZ 8
#endif

/* Argument of ioctl(fd, I_STR, &s). */
struct strioctl {
    int ic_cmd;    /* command sent down as ioc_cmd */
    int ic_timout; /* seconds to wait: INFTIM forever, 0 the default (15 s) */
    int ic_len;    /* in: bytes at ic_dp sent down; out: bytes of the reply */
    char *ic_dp;   /* data buffer, in and out */
};

/* Control or data part of putmsg/getmsg. */
struct strbuf {
    int maxlen; /* buffer size (getmsg) */
    int len;    /* bytes in the part; -1: no such part */
    char *buf;  /* the bytes */
};

/* I_LIST: names of the modules and the driver of a stream, topmost first. */
struct str_mlist {
    char l_name[FMNAMESZ + 1];
};

struct str_list {
    int sl_nmods;
    struct str_mlist *sl_modlist;
};

#ifdef __cplusplus
}

#include <cstddef>
static_assert(sizeof(struct strioctl) == (sizeof(void *) == 8 ? 24 : 16), "strioctl size");
static_assert(offsetof(struct strioctl, ic_dp) == (sizeof(void *) == 8 ? 16 : 12),
              "strioctl.ic_dp offset");
static_assert(sizeof(struct strbuf) == (sizeof(void *) == 8 ? 16 : 12), "strbuf size");
static_assert(sizeof(struct str_mlist) == 9, "str_mlist size");
#endif

#endif /* _SYS_STROPTS_H */
