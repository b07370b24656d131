/*
 * STREAMS administrative driver: autopush configuration through "/dev/sad/admin" (and the
 * read-only "/dev/sad/user").
 *
 * Requests are I_STR ioctls whose data is the record: SAD_SAP and SAD_GAP send a strapush and
 * SAD_GAP's acknowledgement returns the filled-in record; SAD_VML sends an array of str_mlist
 * names and returns 0 (all known) or 1 (one unknown) as the ioctl's value.
 */
#ifndef _SYS_SAD_H
#define _SYS_SAD_H

#include <sys/ktypes.h>
#include <sys/stropts.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SADIOC ('D' << 8)
#ifndef AP_VERSION
#ifdef _KERNEL
#define AP_VERSION 1
#else
#define AP_VERSION 0
#endif
#endif
#define SAD_SAP_V0 (SADIOC | 01)
#define SAD_GAP_V0 (SADIOC | 02)
#define SAD_SAP_V1 (SADIOC | 0x11)
#define SAD_GAP_V1 (SADIOC | 0x12)
#if AP_VERSION == 1
#define SAD_SAP SAD_SAP_V1 /* set autopush */
#define SAD_GAP SAD_GAP_V1 /* get autopush */
#else
#define SAD_SAP SAD_SAP_V0
#define SAD_GAP SAD_GAP_V0
#endif
#define SAD_VML (SADIOC | 03) /* validate a module list */

/* Minor numbers of the two nodes. */
#define USRMIN 0
#define ADMMIN 1

#define MAXAPUSH 8

/* apc_cmd */
#define SAP_CLEAR 0 /* remove the entry that starts at (major, minor) */
#define SAP_ONE   1 /* one minor */
#define SAP_RANGE 2 /* minor..lastminor */
#define SAP_ALL   3 /* every minor */

struct apcommon {
    uint_t apc_cmd;        /* SAP_* */
    major_t apc_major;     /* driver major */
    minor_t apc_minor;     /* first minor */
    minor_t apc_lastminor; /* last minor of a range */
    uint_t apc_npush;      /* modules in sap_list */
};

struct apdata {
    uint_t apd_anchor; /* anchor position (version 1; 0 = none) */
};

struct strapush {
    struct apcommon sap_common;
    char sap_list[MAXAPUSH][FMNAMESZ + 1]; /* sap_list[0] is pushed first (next to driver) */
#if AP_VERSION == 1
    struct apdata sap_data;
#endif
};

#define sap_cmd       sap_common.apc_cmd
#define sap_major     sap_common.apc_major
#define sap_minor     sap_common.apc_minor
#define sap_lastminor sap_common.apc_lastminor
#define sap_npush     sap_common.apc_npush
#define sap_anchor    sap_data.apd_anchor

/* Sizes of the two versions of the record. */
#define STRAPUSH_V0_SIZE 92
#define STRAPUSH_V1_SIZE 96

#ifdef __cplusplus
}

#include <cstddef>
static_assert(offsetof(struct strapush, sap_list) == 20, "strapush.sap_list offset");
static_assert(sizeof(struct strapush) == (AP_VERSION == 1 ? 96 : 92), "strapush size");
#endif

#endif /* _SYS_SAD_H */
