/*
 * The host tests' driver "thost" (clone device /dev/thost, devmap region) and its module
 * "thostm": ioctl commands and records, shared by the kernel object and the tests.
 */
#ifndef NVX_TESTS_HOST_THOST_H
#define NVX_TESTS_HOST_THOST_H

#include <stdint.h>

#define TH_ECHO     0x6801 /* ACK: the data reversed, rval = its length */
#define TH_NAK      0x6802 /* NAK: ioc_error = the int32 in the data */
#define TH_INFO     0x6803 /* ACK: struct th_info */
#define TH_STATS    0x6804 /* ACK: struct th_stats (driver-wide) */
#define TH_PEEK     0x6805 /* ACK: 16 bytes of the stream's region at the int32 offset given */
#define TH_SLEEPIOC 0x6806 /* cv_timedwait_sig up to 10 s; NAK EINTR when signalled, else ACK */

/* The region of every stream: not a whole number of 8 KiB pages, on purpose. */
#define TH_REGION_SIZE (3 * 8192 + 100)
/* Byte i of the region of minor m, as the driver fills it. */
#ifdef __cplusplus
#define TH_PATTERN(i, m) static_cast<unsigned char>(((i)*7u + (m)*13u + 1u) & 0xffu)
#else
#define TH_PATTERN(i, m) ((unsigned char)(((i)*7u + (m)*13u + 1u) & 0xffu))
#endif

/* Control part of a putmsg with RS_HIPRI. */
#define TH_BUSY  1 /* the put procedure spins for ms milliseconds, then counts put_done */
#define TH_SLEEP 2 /* the put procedure waits interruptibly up to ms milliseconds */
struct th_wait {
    uint32_t mode;
    uint32_t ms;
};

struct th_info {
    int32_t pid; /* ddi_get_pid() in the put procedure */
    int32_t uid; /* ioc_cr->cr_uid */
    uint32_t minor;
    uint32_t ioc_flag; /* data model of the caller */
    uint64_t region;   /* kernel address of the region */
};

struct th_stats {
    uint32_t opens;
    uint32_t closes;
    uint32_t put_done;  /* TH_BUSY puts completed */
    uint32_t signalled; /* interruptible waits ended by a signal */
    uint32_t timed_out; /* interruptible waits that ran out */
    uint32_t open_now;  /* streams open */
};

#endif
