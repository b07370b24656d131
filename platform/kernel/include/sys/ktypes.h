/*
 * Basic kernel types of the target platform that the Linux C library does not define. dev_t,
 * clock_t, size_t, pid_t, uid_t and caddr_t come from <sys/types.h>; the kernel's dev_t encoding
 * follows the word size (makedevice/getmajor/getminor in sys/sunddi.h).
 */
#ifndef _SYS_KTYPES_H
#define _SYS_KTYPES_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned char uchar_t;
typedef unsigned short ushort_t;
typedef unsigned int uint_t;
typedef unsigned long ulong_t;
typedef uint32_t major_t;
typedef uint32_t minor_t;
typedef long long offset_t;
typedef int32_t t_scalar_t;
typedef uint32_t t_uscalar_t;
typedef void *timeout_id_t;

typedef enum { B_FALSE = 0, B_TRUE = 1 } boolean_t;

/* Credentials of the process behind a request (ioc_cr, open and close routines). */
typedef struct cred {
    uid_t cr_uid;  /* effective user id */
    gid_t cr_gid;  /* effective group id */
    uid_t cr_ruid; /* real user id */
    gid_t cr_rgid; /* real group id */
    pid_t cr_pid;  /* platform addition: the process the credentials were taken from */
} cred_t;

/* Device information node of a driver instance (opaque to drivers). */
typedef struct dev_info dev_info_t;

#ifdef __cplusplus
}
#endif

#endif /* _SYS_KTYPES_H */
