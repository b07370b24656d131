/*
 * Data Link Provider Interface, version 2: primitives, records, constants, states and error
 * codes, and the Sun DLPI ioctls (raw mode, fast path).
 *
 * Every record is a sequence of 32-bit words (t_uscalar_t / t_scalar_t) and has the same layout
 * in both word sizes (checked below). Variable parts (addresses) follow the fixed record in the
 * same M_PROTO / M_PCPROTO block and are found by their *_offset (from b_rptr) and *_length.
 */
#ifndef _SYS_DLPI_H
#define _SYS_DLPI_H

#include <sys/ktypes.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DL_VERSION_2       0x02
#define DL_CURRENT_VERSION DL_VERSION_2

/* Primitives (dl_primitive). */
#define DL_INFO_REQ                0x00
#define DL_BIND_REQ                0x01
#define DL_UNBIND_REQ              0x02
#define DL_INFO_ACK                0x03
#define DL_BIND_ACK                0x04
#define DL_ERROR_ACK               0x05
#define DL_OK_ACK                  0x06
#define DL_UNITDATA_REQ            0x07
#define DL_UNITDATA_IND            0x08
#define DL_UDERROR_IND             0x09
#define DL_UDQOS_REQ               0x0a
#define DL_ATTACH_REQ              0x0b
#define DL_DETACH_REQ              0x0c
#define DL_CONNECT_REQ             0x0d
#define DL_CONNECT_IND             0x0e
#define DL_CONNECT_RES             0x0f
#define DL_CONNECT_CON             0x10
#define DL_TOKEN_REQ               0x11
#define DL_TOKEN_ACK               0x12
#define DL_DISCONNECT_REQ          0x13
#define DL_DISCONNECT_IND          0x14
#define DL_SUBS_UNBIND_REQ         0x15
#define DL_RESET_REQ               0x17
#define DL_RESET_IND               0x18
#define DL_RESET_RES               0x19
#define DL_RESET_CON               0x1a
#define DL_SUBS_BIND_REQ           0x1b
#define DL_SUBS_BIND_ACK           0x1c
#define DL_ENABMULTI_REQ           0x1d
#define DL_DISABMULTI_REQ          0x1e
#define DL_PROMISCON_REQ           0x1f
#define DL_PROMISCOFF_REQ          0x20
#define DL_DATA_ACK_REQ            0x21
#define DL_DATA_ACK_IND            0x22
#define DL_DATA_ACK_STATUS_IND     0x23
#define DL_REPLY_REQ               0x24
#define DL_REPLY_IND               0x25
#define DL_REPLY_STATUS_IND        0x26
#define DL_REPLY_UPDATE_REQ        0x27
#define DL_REPLY_UPDATE_STATUS_IND 0x28
#define DL_XID_REQ                 0x29
#define DL_XID_IND                 0x2a
#define DL_XID_RES                 0x2b
#define DL_XID_CON                 0x2c
#define DL_TEST_REQ                0x2d
#define DL_TEST_IND                0x2e
#define DL_TEST_RES                0x2f
#define DL_TEST_CON                0x30
#define DL_PHYS_ADDR_REQ           0x31
#define DL_PHYS_ADDR_ACK           0x32
#define DL_SET_PHYS_ADDR_REQ       0x33
#define DL_GET_STATISTICS_REQ      0x34
#define DL_GET_STATISTICS_ACK      0x35
#define DL_NOTIFY_REQ              0x100
#define DL_NOTIFY_ACK              0x101
#define DL_NOTIFY_IND              0x102
#define DL_AGGR_REQ                0x103
#define DL_AGGR_IND                0x104
#define DL_UNAGGR_REQ              0x105
#define DL_CAPABILITY_REQ          0x110
#define DL_CAPABILITY_ACK          0x111
#define DL_CONTROL_REQ             0x112
#define DL_CONTROL_ACK             0x113
#define DL_PASSIVE_REQ             0x114
#define DL_INTR_MODE_REQ           0x115
#define DL_PRIM_INVAL              0xffff

/* Service modes. */
#define DL_CODLS  0x01
#define DL_CLDLS  0x02
#define DL_ACLDLS 0x04

/* Provider styles. */
#define DL_STYLE1 0x0500
#define DL_STYLE2 0x0501

/* Media (dl_mac_type). */
#define DL_CSMACD   0x0
#define DL_TPB      0x1
#define DL_TPR      0x2
#define DL_METRO    0x3
#define DL_ETHER    0x4
#define DL_HDLC     0x05
#define DL_CHAR     0x06
#define DL_CTCA     0x07
#define DL_FDDI     0x08
#define DL_OTHER    0x09
#define DL_FRAME    0x0a
#define DL_MPFRAME  0x0b
#define DL_ASYNC    0x0c
#define DL_IPX25    0x0d
#define DL_LOOP     0x0e
#define DL_FC       0x10
#define DL_ATM      0x11
#define DL_IPATM    0x12
#define DL_X25      0x13
#define DL_ISDN     0x14
#define DL_HIPPI    0x15
#define DL_100VG    0x16
#define DL_100VGTPR 0x17
#define DL_ETH_CSMA 0x18
#define DL_100BT    0x19
#define DL_IB       0x1a
#define DL_IPV4     0x80000001u
#define DL_IPV6     0x80000002u
#define SUNW_DL_VNI 0x80000003u
#define DL_WIFI     0x80000004u

/* Promiscuous levels, physical address types. */
#define DL_PROMISC_PHYS   0x01
#define DL_PROMISC_SAP    0x02
#define DL_PROMISC_MULTI  0x03
#define DL_FACT_PHYS_ADDR 1
#define DL_CURR_PHYS_ADDR 2

/* Miscellaneous. */
#define DL_UNKNOWN           (-1)
#define DL_QOS_DONT_CARE     (-2)
#define DL_PROVIDER          0x0700
#define DL_USER              0x0701
#define DL_AUTO_XID          1
#define DL_AUTO_TEST         2
#define DL_POLL_FINAL        1
#define DL_PEER_BIND         1
#define DL_HIERARCHICAL_BIND 2

/* Interface states (dl_current_state). */
#define DL_UNBOUND            0x00
#define DL_BIND_PENDING       0x01
#define DL_UNBIND_PENDING     0x02
#define DL_IDLE               0x03
#define DL_UNATTACHED         0x04
#define DL_ATTACH_PENDING     0x05
#define DL_DETACH_PENDING     0x06
#define DL_UDQOS_PENDING      0x07
#define DL_OUTCON_PENDING     0x08
#define DL_INCON_PENDING      0x09
#define DL_CONN_RES_PENDING   0x0a
#define DL_DATAXFER           0x0b
#define DL_USER_RESET_PENDING 0x0c
#define DL_PROV_RESET_PENDING 0x0d
#define DL_RESET_RES_PENDING  0x0e
#define DL_DISCON8_PENDING    0x0f
#define DL_DISCON9_PENDING    0x10
#define DL_DISCON11_PENDING   0x11
#define DL_DISCON12_PENDING   0x12
#define DL_DISCON13_PENDING   0x13
#define DL_SUBS_BIND_PND      0x14
#define DL_SUBS_UNBIND_PND    0x15

/* DL_ERROR_ACK error codes (dl_errno). */
#define DL_BADSAP        0x00
#define DL_BADADDR       0x01
#define DL_ACCESS        0x02
#define DL_OUTSTATE      0x03
#define DL_SYSERR        0x04
#define DL_BADCORR       0x05
#define DL_BADDATA       0x06
#define DL_UNSUPPORTED   0x07
#define DL_BADPPA        0x08
#define DL_BADPRIM       0x09
#define DL_BADQOSPARAM   0x0a
#define DL_BADQOSTYPE    0x0b
#define DL_BADTOKEN      0x0c
#define DL_BOUND         0x0d
#define DL_INITFAILED    0x0e
#define DL_NOADDR        0x0f
#define DL_NOTINIT       0x10
#define DL_UNDELIVERABLE 0x11
#define DL_NOTSUPPORTED  0x12
#define DL_TOOMANY       0x13
#define DL_NOTENAB       0x14
#define DL_BUSY          0x15
#define DL_NOAUTO        0x16
#define DL_NOXIDAUTO     0x17
#define DL_NOTESTAUTO    0x18
#define DL_XIDAUTO       0x19
#define DL_TESTAUTO      0x1a
#define DL_PENDING       0x1b

/* Sun DLPI ioctls: raw mode and the IP fast path. */
#define DLIOC           ('D' << 8)
#define DLIOCRAW        (DLIOC | 1)
#define DLIOCNATIVE     (DLIOC | 2)
#define DLIOCHDRINFO    (DLIOC | 10)
#define DL_IOC_HDR_INFO DLIOCHDRINFO

typedef struct {
    t_uscalar_t dl_primitive; /* DL_INFO_REQ */
} dl_info_req_t;

typedef struct {
    t_uscalar_t dl_primitive;          /* DL_INFO_ACK */
    t_uscalar_t dl_max_sdu;            /* largest data unit */
    t_uscalar_t dl_min_sdu;            /* smallest data unit */
    t_uscalar_t dl_addr_length;        /* DLSAP address length (physical + SAP) */
    t_uscalar_t dl_mac_type;           /* medium, DL_ETHER ... */
    t_uscalar_t dl_reserved;           /* 0 */
    t_uscalar_t dl_current_state;      /* DL_UNATTACHED, DL_UNBOUND, DL_IDLE ... */
    t_scalar_t dl_sap_length;          /* negative: the SAP follows the physical address */
    t_uscalar_t dl_service_mode;       /* DL_CLDLS ... */
    t_uscalar_t dl_qos_length;         /* 0 */
    t_uscalar_t dl_qos_offset;         /* 0 */
    t_uscalar_t dl_qos_range_length;   /* 0 */
    t_uscalar_t dl_qos_range_offset;   /* 0 */
    t_uscalar_t dl_provider_style;     /* DL_STYLE1 or DL_STYLE2 */
    t_uscalar_t dl_addr_offset;        /* the stream's own DLSAP address, 0 if none */
    t_uscalar_t dl_version;            /* DL_VERSION_2 */
    t_uscalar_t dl_brdcst_addr_length; /* broadcast address length */
    t_uscalar_t dl_brdcst_addr_offset; /* broadcast address offset */
    t_uscalar_t dl_growth;             /* 0 */
} dl_info_ack_t;

typedef struct {
    t_uscalar_t dl_primitive; /* DL_ATTACH_REQ */
    t_uscalar_t dl_ppa;       /* physical point of attachment: the instance number */
} dl_attach_req_t;

typedef struct {
    t_uscalar_t dl_primitive; /* DL_DETACH_REQ */
} dl_detach_req_t;

typedef struct {
    t_uscalar_t dl_primitive;   /* DL_BIND_REQ */
    t_uscalar_t dl_sap;         /* SAP: the EtherType */
    t_uscalar_t dl_max_conind;  /* 0 for connectionless service */
    uint16_t dl_service_mode;   /* DL_CLDLS */
    uint16_t dl_conn_mgmt;      /* 0 */
    t_uscalar_t dl_xidtest_flg; /* 0 */
} dl_bind_req_t;

typedef struct {
    t_uscalar_t dl_primitive;   /* DL_BIND_ACK */
    t_uscalar_t dl_sap;         /* the bound SAP */
    t_uscalar_t dl_addr_length; /* bound DLSAP address length */
    t_uscalar_t dl_addr_offset; /* bound DLSAP address offset */
    t_uscalar_t dl_max_conind;  /* 0 */
    t_uscalar_t dl_xidtest_flg; /* 0 */
} dl_bind_ack_t;

typedef struct {
    t_uscalar_t dl_primitive; /* DL_UNBIND_REQ */
} dl_unbind_req_t;

typedef struct {
    t_uscalar_t dl_primitive;         /* DL_OK_ACK */
    t_uscalar_t dl_correct_primitive; /* the primitive acknowledged */
} dl_ok_ack_t;

typedef struct {
    t_uscalar_t dl_primitive;       /* DL_ERROR_ACK */
    t_uscalar_t dl_error_primitive; /* the primitive in error */
    t_uscalar_t dl_errno;           /* DLPI error code */
    t_uscalar_t dl_unix_errno;      /* errno when dl_errno is DL_SYSERR */
} dl_error_ack_t;

typedef struct {
    t_scalar_t dl_min; /* minimum priority */
    t_scalar_t dl_max; /* maximum priority */
} dl_priority_t;

typedef struct {
    t_uscalar_t dl_primitive;        /* DL_UNITDATA_REQ */
    t_uscalar_t dl_dest_addr_length; /* destination DLSAP address length */
    t_uscalar_t dl_dest_addr_offset; /* destination DLSAP address offset */
    dl_priority_t dl_priority;       /* priority range */
} dl_unitdata_req_t;

typedef struct {
    t_uscalar_t dl_primitive;        /* DL_UNITDATA_IND */
    t_uscalar_t dl_dest_addr_length; /* destination DLSAP address length */
    t_uscalar_t dl_dest_addr_offset; /* destination DLSAP address offset */
    t_uscalar_t dl_src_addr_length;  /* source DLSAP address length */
    t_uscalar_t dl_src_addr_offset;  /* source DLSAP address offset */
    t_uscalar_t dl_group_address;    /* 1: sent to a multicast or broadcast address */
} dl_unitdata_ind_t;

typedef struct {
    t_uscalar_t dl_primitive;        /* DL_UDERROR_IND */
    t_uscalar_t dl_dest_addr_length; /* destination DLSAP address length */
    t_uscalar_t dl_dest_addr_offset; /* destination DLSAP address offset */
    t_uscalar_t dl_unix_errno;       /* errno */
    t_uscalar_t dl_errno;            /* DLPI error code */
} dl_uderror_ind_t;

typedef struct {
    t_uscalar_t dl_primitive; /* DL_PROMISCON_REQ */
    t_uscalar_t dl_level;     /* DL_PROMISC_PHYS, _SAP, _MULTI */
} dl_promiscon_req_t;

typedef struct {
    t_uscalar_t dl_primitive; /* DL_PROMISCOFF_REQ */
    t_uscalar_t dl_level;     /* DL_PROMISC_PHYS, _SAP, _MULTI */
} dl_promiscoff_req_t;

typedef struct {
    t_uscalar_t dl_primitive;   /* DL_ENABMULTI_REQ */
    t_uscalar_t dl_addr_length; /* multicast address length */
    t_uscalar_t dl_addr_offset; /* multicast address offset */
} dl_enabmulti_req_t;

typedef struct {
    t_uscalar_t dl_primitive;   /* DL_DISABMULTI_REQ */
    t_uscalar_t dl_addr_length; /* multicast address length */
    t_uscalar_t dl_addr_offset; /* multicast address offset */
} dl_disabmulti_req_t;

typedef struct {
    t_uscalar_t dl_primitive; /* DL_PHYS_ADDR_REQ */
    t_uscalar_t dl_addr_type; /* DL_FACT_PHYS_ADDR or DL_CURR_PHYS_ADDR */
} dl_phys_addr_req_t;

typedef struct {
    t_uscalar_t dl_primitive;   /* DL_PHYS_ADDR_ACK */
    t_uscalar_t dl_addr_length; /* physical address length */
    t_uscalar_t dl_addr_offset; /* physical address offset */
} dl_phys_addr_ack_t;

typedef struct {
    t_uscalar_t dl_primitive;   /* DL_SET_PHYS_ADDR_REQ */
    t_uscalar_t dl_addr_length; /* physical address length */
    t_uscalar_t dl_addr_offset; /* physical address offset */
} dl_set_phys_addr_req_t;

typedef struct {
    t_uscalar_t dl_primitive; /* DL_GET_STATISTICS_REQ */
} dl_get_statistics_req_t;

typedef struct {
    t_uscalar_t dl_primitive;   /* DL_GET_STATISTICS_ACK */
    t_uscalar_t dl_stat_length; /* statistics length */
    t_uscalar_t dl_stat_offset; /* statistics offset */
} dl_get_statistics_ack_t;

typedef struct {
    t_uscalar_t dl_primitive;       /* DL_SUBS_BIND_REQ */
    t_uscalar_t dl_subs_sap_offset; /* subsequent SAP offset */
    t_uscalar_t dl_subs_sap_length; /* subsequent SAP length */
    t_uscalar_t dl_subs_bind_class; /* DL_PEER_BIND or DL_HIERARCHICAL_BIND */
} dl_subs_bind_req_t;

typedef struct {
    t_uscalar_t dl_primitive;       /* DL_SUBS_BIND_ACK */
    t_uscalar_t dl_subs_sap_offset; /* subsequent SAP offset */
    t_uscalar_t dl_subs_sap_length; /* subsequent SAP length */
} dl_subs_bind_ack_t;

typedef struct {
    t_uscalar_t dl_primitive;       /* DL_SUBS_UNBIND_REQ */
    t_uscalar_t dl_subs_sap_offset; /* subsequent SAP offset */
    t_uscalar_t dl_subs_sap_length; /* subsequent SAP length */
} dl_subs_unbind_req_t;

/* Any primitive: the first word tells which. */
union DL_primitives {
    t_uscalar_t dl_primitive;
    dl_info_req_t info_req;
    dl_info_ack_t info_ack;
    dl_attach_req_t attach_req;
    dl_detach_req_t detach_req;
    dl_bind_req_t bind_req;
    dl_bind_ack_t bind_ack;
    dl_unbind_req_t unbind_req;
    dl_ok_ack_t ok_ack;
    dl_error_ack_t error_ack;
    dl_unitdata_req_t unitdata_req;
    dl_unitdata_ind_t unitdata_ind;
    dl_uderror_ind_t uderror_ind;
    dl_promiscon_req_t promiscon_req;
    dl_promiscoff_req_t promiscoff_req;
    dl_enabmulti_req_t enabmulti_req;
    dl_disabmulti_req_t disabmulti_req;
    dl_phys_addr_req_t physaddr_req;
    dl_phys_addr_ack_t physaddr_ack;
    dl_set_phys_addr_req_t set_physaddr_req;
    dl_get_statistics_req_t get_statistics_req;
    dl_get_statistics_ack_t get_statistics_ack;
    dl_subs_bind_req_t subs_bind_req;
    dl_subs_bind_ack_t subs_bind_ack;
    dl_subs_unbind_req_t subs_unbind_req;
};

#define DL_INFO_REQ_SIZE           sizeof(dl_info_req_t)
#define DL_INFO_ACK_SIZE           sizeof(dl_info_ack_t)
#define DL_ATTACH_REQ_SIZE         sizeof(dl_attach_req_t)
#define DL_DETACH_REQ_SIZE         sizeof(dl_detach_req_t)
#define DL_BIND_REQ_SIZE           sizeof(dl_bind_req_t)
#define DL_BIND_ACK_SIZE           sizeof(dl_bind_ack_t)
#define DL_UNBIND_REQ_SIZE         sizeof(dl_unbind_req_t)
#define DL_OK_ACK_SIZE             sizeof(dl_ok_ack_t)
#define DL_ERROR_ACK_SIZE          sizeof(dl_error_ack_t)
#define DL_UNITDATA_REQ_SIZE       sizeof(dl_unitdata_req_t)
#define DL_UNITDATA_IND_SIZE       sizeof(dl_unitdata_ind_t)
#define DL_UDERROR_IND_SIZE        sizeof(dl_uderror_ind_t)
#define DL_PROMISCON_REQ_SIZE      sizeof(dl_promiscon_req_t)
#define DL_PROMISCOFF_REQ_SIZE     sizeof(dl_promiscoff_req_t)
#define DL_ENABMULTI_REQ_SIZE      sizeof(dl_enabmulti_req_t)
#define DL_DISABMULTI_REQ_SIZE     sizeof(dl_disabmulti_req_t)
#define DL_PHYS_ADDR_REQ_SIZE      sizeof(dl_phys_addr_req_t)
#define DL_PHYS_ADDR_ACK_SIZE      sizeof(dl_phys_addr_ack_t)
#define DL_SET_PHYS_ADDR_REQ_SIZE  sizeof(dl_set_phys_addr_req_t)
#define DL_GET_STATISTICS_REQ_SIZE sizeof(dl_get_statistics_req_t)
#define DL_GET_STATISTICS_ACK_SIZE sizeof(dl_get_statistics_ack_t)
#define DL_SUBS_BIND_REQ_SIZE      sizeof(dl_subs_bind_req_t)
#define DL_SUBS_BIND_ACK_SIZE      sizeof(dl_subs_bind_ack_t)
#define DL_SUBS_UNBIND_REQ_SIZE    sizeof(dl_subs_unbind_req_t)

#ifdef __cplusplus
}

#include <cstddef>
#define NVX_DLPI_OFFSET(rec, field, off)                                                           \
    static_assert(offsetof(rec, field) == (off), #rec "." #field " is not at the target's offset")
static_assert(sizeof(dl_info_ack_t) == 76, "dl_info_ack_t size");
NVX_DLPI_OFFSET(dl_info_ack_t, dl_max_sdu, 4);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_addr_length, 12);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_mac_type, 16);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_current_state, 24);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_sap_length, 28);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_service_mode, 32);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_provider_style, 52);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_addr_offset, 56);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_version, 60);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_brdcst_addr_length, 64);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_brdcst_addr_offset, 68);
NVX_DLPI_OFFSET(dl_info_ack_t, dl_growth, 72);
static_assert(sizeof(dl_attach_req_t) == 8, "dl_attach_req_t size");
NVX_DLPI_OFFSET(dl_attach_req_t, dl_ppa, 4);
static_assert(sizeof(dl_bind_req_t) == 20, "dl_bind_req_t size");
NVX_DLPI_OFFSET(dl_bind_req_t, dl_sap, 4);
NVX_DLPI_OFFSET(dl_bind_req_t, dl_max_conind, 8);
NVX_DLPI_OFFSET(dl_bind_req_t, dl_service_mode, 12);
NVX_DLPI_OFFSET(dl_bind_req_t, dl_conn_mgmt, 14);
NVX_DLPI_OFFSET(dl_bind_req_t, dl_xidtest_flg, 16);
static_assert(sizeof(dl_bind_ack_t) == 24, "dl_bind_ack_t size");
NVX_DLPI_OFFSET(dl_bind_ack_t, dl_sap, 4);
NVX_DLPI_OFFSET(dl_bind_ack_t, dl_addr_length, 8);
NVX_DLPI_OFFSET(dl_bind_ack_t, dl_addr_offset, 12);
NVX_DLPI_OFFSET(dl_bind_ack_t, dl_max_conind, 16);
NVX_DLPI_OFFSET(dl_bind_ack_t, dl_xidtest_flg, 20);
static_assert(sizeof(dl_ok_ack_t) == 8, "dl_ok_ack_t size");
NVX_DLPI_OFFSET(dl_ok_ack_t, dl_correct_primitive, 4);
static_assert(sizeof(dl_error_ack_t) == 16, "dl_error_ack_t size");
NVX_DLPI_OFFSET(dl_error_ack_t, dl_error_primitive, 4);
NVX_DLPI_OFFSET(dl_error_ack_t, dl_errno, 8);
NVX_DLPI_OFFSET(dl_error_ack_t, dl_unix_errno, 12);
static_assert(sizeof(dl_unitdata_req_t) == 20, "dl_unitdata_req_t size");
NVX_DLPI_OFFSET(dl_unitdata_req_t, dl_dest_addr_length, 4);
NVX_DLPI_OFFSET(dl_unitdata_req_t, dl_dest_addr_offset, 8);
NVX_DLPI_OFFSET(dl_unitdata_req_t, dl_priority.dl_min, 12);
NVX_DLPI_OFFSET(dl_unitdata_req_t, dl_priority.dl_max, 16);
static_assert(sizeof(dl_unitdata_ind_t) == 24, "dl_unitdata_ind_t size");
NVX_DLPI_OFFSET(dl_unitdata_ind_t, dl_dest_addr_length, 4);
NVX_DLPI_OFFSET(dl_unitdata_ind_t, dl_dest_addr_offset, 8);
NVX_DLPI_OFFSET(dl_unitdata_ind_t, dl_src_addr_length, 12);
NVX_DLPI_OFFSET(dl_unitdata_ind_t, dl_src_addr_offset, 16);
NVX_DLPI_OFFSET(dl_unitdata_ind_t, dl_group_address, 20);
static_assert(sizeof(dl_uderror_ind_t) == 20, "dl_uderror_ind_t size");
NVX_DLPI_OFFSET(dl_uderror_ind_t, dl_unix_errno, 12);
NVX_DLPI_OFFSET(dl_uderror_ind_t, dl_errno, 16);
static_assert(sizeof(dl_promiscon_req_t) == 8, "dl_promiscon_req_t size");
static_assert(sizeof(dl_enabmulti_req_t) == 12, "dl_enabmulti_req_t size");
static_assert(sizeof(dl_phys_addr_ack_t) == 12, "dl_phys_addr_ack_t size");
static_assert(sizeof(dl_get_statistics_ack_t) == 12, "dl_get_statistics_ack_t size");
static_assert(sizeof(dl_subs_bind_req_t) == 16, "dl_subs_bind_req_t size");
static_assert(sizeof(dl_subs_bind_ack_t) == 12, "dl_subs_bind_ack_t size");
static_assert(sizeof(dl_subs_unbind_req_t) == 12, "dl_subs_unbind_req_t size");
static_assert(sizeof(dl_info_req_t) == 4 && sizeof(dl_unbind_req_t) == 4 &&
                  sizeof(dl_detach_req_t) == 4,
              "one-word primitives");
#undef NVX_DLPI_OFFSET
#endif

#endif /* _SYS_DLPI_H */
