/*
 * STREAMS messages and queues: the records and calls a STREAMS driver or module uses.
 *
 * Records have the target's field order, so their public fields lie at the target's offsets in
 * both word sizes (checked below). Fields marked private belong to the platform.
 */
#ifndef _SYS_STREAM_H
#define _SYS_STREAM_H

#include <sys/ktypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Message types (db_type). Types >= QPCTL are high priority. */
#define M_DATA      0x00
#define M_PROTO     0x01
#define M_MULTIDATA 0x02
#define M_BREAK     0x08
#define M_PASSFP    0x09
#define M_EVENT     0x0a
#define M_SIG       0x0b
#define M_DELAY     0x0c
#define M_CTL       0x0d
#define M_IOCTL     0x0e
#define M_SETOPTS   0x10
#define M_RSE       0x11
#define M_IOCACK    0x81
#define M_IOCNAK    0x82
#define M_PCPROTO   0x83
#define M_PCSIG     0x84
#define M_READ      0x85
#define M_FLUSH     0x86
#define M_STOP      0x87
#define M_START     0x88
#define M_HANGUP    0x89
#define M_ERROR     0x8a
#define M_COPYIN    0x8b
#define M_COPYOUT   0x8c
#define M_IOCDATA   0x8d
#define M_PCRSE     0x8e
#define M_STOPI     0x8f
#define M_STARTI    0x90
#define M_PCEVENT   0x91
#define M_UNHANGUP  0x92

#define QNORM 0x00
#define QPCTL 0x80

/* Allocation priorities of allocb (accepted and ignored). */
#define BPRI_LO  1
#define BPRI_MED 2
#define BPRI_HI  3

/* M_FLUSH flags (first data byte). */
#define FLUSHR    0x01
#define FLUSHW    0x02
#define FLUSHRW   0x03
#define FLUSHBAND 0x04

/* flushq flags */
#define FLUSHDATA 0
#define FLUSHALL  1

#define INFPSZ   (-1)
#define STRHIGH  5120
#define STRLOW   1024
#define NBAND    256
#define FMNAMESZ 8

/* b_flag bits */
#define MSGMARK        0x01
#define MSGNOLOOP      0x02
#define MSGDELIM       0x04
#define MSGNOGET       0x08
#define MSGMARKNEXT    0x10
#define MSGNOTMARKNEXT 0x20

/* q_flag bits */
#define QENAB       0x00000001
#define QWANTR      0x00000002
#define QWANTW      0x00000004
#define QFULL       0x00000008
#define QREADR      0x00000010
#define QUSE        0x00000020
#define QNOENB      0x00000040
#define QBACK       0x00000100
#define QHLIST      0x00000200
#define QPAIR       0x00000800
#define QPERQ       0x00001000
#define QPERMOD     0x00002000
#define QMTSAFE     0x00004000
#define QMTOUTPERIM 0x00008000
#define QINSERVICE  0x00010000
#define QWCLOSE     0x00020000
#define QEND        0x00040000
#define QWANTWSYNC  0x00080000
#define QSYNCSTR    0x00100000
#define QISDRV      0x00200000

struct msgb;
struct datab;
struct queue;
struct free_rtn;

typedef struct datab {
    struct free_rtn *db_frtnp;   /* private: esballoc free routine */
    unsigned char *db_base;      /* first byte of the buffer */
    unsigned char *db_lim;       /* one past the last byte of the buffer */
    unsigned char db_ref;        /* message blocks pointing here */
    unsigned char db_type;       /* message type */
    unsigned char db_flags;      /* private */
    unsigned char db_struioflag; /* private */
    void *db_platform;           /* private: the platform's bookkeeping of this block */
} dblk_t;

typedef struct msgb {
    struct msgb *b_next;   /* next message on a queue */
    struct msgb *b_prev;   /* previous message on a queue */
    struct msgb *b_cont;   /* next block of the same message */
    unsigned char *b_rptr; /* first unread byte */
    unsigned char *b_wptr; /* first byte after the valid data */
    struct datab *b_datap; /* data block */
    unsigned char b_band;  /* priority band */
    unsigned char b_tag;   /* private */
    unsigned short b_flag; /* MSG* flags */
    struct queue *b_queue; /* private */
} mblk_t;

struct module_info {
    ushort_t mi_idnum;     /* module id number */
    const char *mi_idname; /* module name */
    ssize_t mi_minpsz;     /* minimum packet size */
    ssize_t mi_maxpsz;     /* maximum packet size (INFPSZ: unlimited) */
    size_t mi_hiwat;       /* high-water mark */
    size_t mi_lowat;       /* low-water mark */
};

struct module_stat;
struct struiod;
struct infod;

struct qinit {
    int (*qi_putp)(struct queue *, mblk_t *);                     /* put procedure */
    int (*qi_srvp)(struct queue *);                               /* service procedure */
    int (*qi_qopen)(struct queue *, dev_t *, int, int, cred_t *); /* open (read side only) */
    int (*qi_qclose)(struct queue *, int, cred_t *);              /* close (read side only) */
    int (*qi_qadmin)(void);                                       /* reserved */
    struct module_info *qi_minfo;                                 /* limits and name */
    struct module_stat *qi_mstat;                                 /* statistics */
    int (*qi_rwp)(struct queue *, struct struiod *);              /* synchronous streams */
    int (*qi_infop)(struct queue *, struct infod *);              /* synchronous streams */
    int qi_struiot;                                               /* STRUIOT_* */
};

#define STRUIOT_NONE     (-1)
#define STRUIOT_DONTCARE 0
#define STRUIOT_STANDARD 1

struct streamtab {
    struct qinit *st_rdinit;   /* read side (upper) */
    struct qinit *st_wrinit;   /* write side */
    struct qinit *st_muxrinit; /* multiplexor lower read side (NULL) */
    struct qinit *st_muxwinit; /* multiplexor lower write side (NULL) */
};

typedef struct queue {
    struct qinit *q_qinfo;            /* procedures and limits */
    mblk_t *q_first;                  /* first message waiting */
    mblk_t *q_last;                   /* last message waiting */
    struct queue *q_next;             /* next queue in this direction */
    struct queue *q_link;             /* private */
    void *q_ptr;                      /* module or driver private data */
    size_t q_count;                   /* bytes waiting (band 0) */
    uint_t q_flag;                    /* Q* flags */
    ssize_t q_minpsz;                 /* minimum packet size */
    ssize_t q_maxpsz;                 /* maximum packet size */
    size_t q_hiwat;                   /* high-water mark */
    size_t q_lowat;                   /* low-water mark */
    struct qband *q_bandp;            /* private */
    void *q_lock[8 / sizeof(void *)]; /* private (8 bytes in both models) */
    struct stdata *q_stream;          /* private: the stream this queue belongs to */
    struct syncq *q_syncq;            /* private */
    unsigned char q_nband;            /* private */
    void *q_platform;                 /* private: the platform's state of this queue */
} queue_t;

/* Header block of M_IOCTL, M_IOCACK and M_IOCNAK (field order differs by word size). */
#ifdef _LP64
struct iocblk {
    int ioc_cmd;      /* ioctl command */
    cred_t *ioc_cr;   /* caller's credentials */
    uint_t ioc_id;    /* id kept by replies */
    uint_t ioc_flag;  /* caller's data model */
    size_t ioc_count; /* bytes in b_cont; TRANSPARENT for transparent ioctls */
    int ioc_rval;     /* ioctl return value on ACK */
    int ioc_error;    /* errno on NAK */
};
#else
struct iocblk {
    int ioc_cmd;
    cred_t *ioc_cr;
    uint_t ioc_id;
    size_t ioc_count;
    int ioc_error;
    int ioc_rval;
    int ioc_fill1;
    uint_t ioc_flag;
    int ioc_filler[2];
};
#endif

#define TRANSPARENT ((unsigned int)(-1))
#define IOC_MODELS  0x0FF00000
#define IOC_ILP32   0x00100000
#define IOC_LP64    0x00200000
#ifdef _LP64
#define IOC_NATIVE IOC_LP64
#else
#define IOC_NATIVE IOC_ILP32
#endif

#define MBLKL(mp)    ((mp)->b_wptr - (mp)->b_rptr)
#define DB_TYPE(mp)  ((mp)->b_datap->db_type)
#define DB_BASE(mp)  ((mp)->b_datap->db_base)
#define DB_LIM(mp)   ((mp)->b_datap->db_lim)
#define DB_REF(mp)   ((mp)->b_datap->db_ref)
#define queclass(mp) (((mp)->b_datap->db_type >= QPCTL) ? QPCTL : QNORM)
#define datamsg(type)                                                                              \
    ((type) == M_DATA || (type) == M_PROTO || (type) == M_PCPROTO || (type) == M_DELAY)

/* Message calls (platform/kernel/messages). */
mblk_t *allocb(size_t size, uint_t pri);
void freeb(mblk_t *bp);
void freemsg(mblk_t *mp);
mblk_t *dupb(mblk_t *bp);
mblk_t *dupmsg(mblk_t *mp);
mblk_t *copyb(mblk_t *bp);
mblk_t *copymsg(mblk_t *mp);
size_t msgdsize(mblk_t *mp);
int pullupmsg(mblk_t *mp, ssize_t len);
void linkb(mblk_t *mp1, mblk_t *mp2);
mblk_t *unlinkb(mblk_t *mp);

/* Queue calls (platform/kernel/streams). */
queue_t *RD(queue_t *q);
queue_t *WR(queue_t *q);
queue_t *OTHERQ(queue_t *q);
void putnext(queue_t *q, mblk_t *mp);
void put(queue_t *q, mblk_t *mp);
int putq(queue_t *q, mblk_t *mp);
int putbq(queue_t *q, mblk_t *mp);
mblk_t *getq(queue_t *q);
void qreply(queue_t *q, mblk_t *mp);
int canput(queue_t *q);
int canputnext(queue_t *q);
void qenable(queue_t *q);
void noenable(queue_t *q);
void enableok(queue_t *q);
void flushq(queue_t *q, int flag);
int qsize(queue_t *q);
void qprocson(queue_t *q);
void qprocsoff(queue_t *q);
int putctl(queue_t *q, int type);
int putctl1(queue_t *q, int type, int param);
int putnextctl(queue_t *q, int type);
int putnextctl1(queue_t *q, int type, int param);

#ifdef __cplusplus
}

#include <cstddef>
#define NVX_STREAM_OFFSET(rec, field, lp64, ilp32)                                                 \
    static_assert(offsetof(rec, field) == (sizeof(void *) == 8 ? (lp64) : (ilp32)),                \
                  #rec "." #field " is not at the target's offset")
NVX_STREAM_OFFSET(mblk_t, b_cont, 16, 8);
NVX_STREAM_OFFSET(mblk_t, b_rptr, 24, 12);
NVX_STREAM_OFFSET(mblk_t, b_wptr, 32, 16);
NVX_STREAM_OFFSET(mblk_t, b_datap, 40, 20);
NVX_STREAM_OFFSET(mblk_t, b_band, 48, 24);
NVX_STREAM_OFFSET(mblk_t, b_flag, 50, 26);
NVX_STREAM_OFFSET(mblk_t, b_queue, 56, 28);
static_assert(sizeof(mblk_t) == (sizeof(void *) == 8 ? 64 : 32), "mblk_t size");
NVX_STREAM_OFFSET(dblk_t, db_base, 8, 4);
NVX_STREAM_OFFSET(dblk_t, db_lim, 16, 8);
NVX_STREAM_OFFSET(dblk_t, db_ref, 24, 12);
NVX_STREAM_OFFSET(dblk_t, db_type, 25, 13);
NVX_STREAM_OFFSET(queue_t, q_next, 24, 12);
NVX_STREAM_OFFSET(queue_t, q_ptr, 40, 20);
NVX_STREAM_OFFSET(queue_t, q_count, 48, 24);
NVX_STREAM_OFFSET(queue_t, q_flag, 56, 28);
NVX_STREAM_OFFSET(queue_t, q_hiwat, 80, 40);
NVX_STREAM_OFFSET(queue_t, q_lowat, 88, 44);
NVX_STREAM_OFFSET(queue_t, q_lock, 104, 52);
NVX_STREAM_OFFSET(queue_t, q_stream, 112, 60);
NVX_STREAM_OFFSET(queue_t, q_nband, 128, 68);
NVX_STREAM_OFFSET(struct module_info, mi_idname, 8, 4);
NVX_STREAM_OFFSET(struct module_info, mi_lowat, 40, 20);
NVX_STREAM_OFFSET(struct qinit, qi_minfo, 40, 20);
NVX_STREAM_OFFSET(struct qinit, qi_struiot, 72, 36);
NVX_STREAM_OFFSET(struct iocblk, ioc_id, 16, 8);
NVX_STREAM_OFFSET(struct iocblk, ioc_count, 24, 12);
NVX_STREAM_OFFSET(struct iocblk, ioc_rval, 32, 20);
NVX_STREAM_OFFSET(struct iocblk, ioc_error, 36, 16);
NVX_STREAM_OFFSET(struct iocblk, ioc_flag, 20, 28);
static_assert(sizeof(struct iocblk) == 40, "iocblk size");
#undef NVX_STREAM_OFFSET
#endif

#endif /* _SYS_STREAM_H */
