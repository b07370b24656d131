/*
 * The adapter table ppaList: one slot per interface seen beneath a module instance, filled
 * from the DL_INFO_ACK that the instance requests when IP or ARP binds (add_ppa), and looked up
 * by name when the library opens an adapter (find_ppa).
 *
 * - A free slot is named NVX_UNKNOWN_PPA and has dl_addr_length 0. Slots fill from 0 upwards and
 *   are never removed while the module is loaded, so a scan may stop at the first free slot.
 * - Style-2 interfaces are named driver + DLPI ppa (hme0) and found again by that name; any other
 *   style is named driver + slot index and found again by physical address and driver name.
 * - Names are cut to 15 characters (the name fields are 16 bytes): a driver name and number
 *   longer than that produce the cut name, which is still unique unless two cut names collide.
 *
 * Locks: nvx_rwlock, writer in add_ppa (it fills slots and the binding's ppaname), reader in
 * find_ppa. Neither is ever called with another driver lock held.
 */
#include "nvxppa.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro would rename its format attribute */
#include <sys/cmn_err.h>
#include <sys/dlpi.h>
#include <string.h>

#define NVX_MAX_PHYS_ADDR 6

static inline unsigned long ul(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

/* dst = "%s%d" of name and num, cut to fit the 16-byte name field and always terminated. */
static void format_ppaname(char *dst, const char *name, int num)
{
    const size_t cap = NVX_DEVICENAME_LEN - 1;
    size_t len = 0;
    while (len < cap && name[len] != '\0') {
        dst[len] = name[len];
        len++;
    }
    char digits[12];
    size_t nd = 0;
    unsigned int value =
        num < 0 ? 0u - static_cast<unsigned int>(num) : static_cast<unsigned int>(num);
    do {
        digits[nd++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (num < 0)
        digits[nd++] = '-';
    while (nd > 0 && len < cap)
        dst[len++] = digits[--nd];
    dst[len] = '\0';
}

/* Copies a name field into another, always terminated. */
static void copy_name(char *dst, const char *src)
{
    strncpy(dst, src, NVX_DEVICENAME_LEN - 1);
    dst[NVX_DEVICENAME_LEN - 1] = '\0';
}

static bool name_equals(const char *a, const char *b)
{
    return strncmp(a, b, NVX_DEVICENAME_LEN) == 0;
}

/* Module name of the interface driver: the queue below the module on the write side. */
static const char *driver_name(queue_t *q)
{
    queue_t *below = WR(q)->q_next;
    if (below == nullptr || below->q_qinfo == nullptr || below->q_qinfo->qi_minfo == nullptr ||
        below->q_qinfo->qi_minfo->mi_idname == nullptr)
        return "";
    return below->q_qinfo->qi_minfo->mi_idname;
}

void nvx_init_ppa_table(void)
{
    for (int i = 0; i < MAX_PPA; i++) {
        memset(&ppaList[i], 0, sizeof(ppaList[i]));
        copy_name(ppaList[i].info.devicename, NVX_UNKNOWN_PPA);
    }
}

U32 add_ppa(queue_t *q, BindingInfo *bip, mblk_t *pinfo)
{
    /* The caller (nvx_info_ack) has checked the length already; this keeps every read below
     * inside the block whoever calls. */
    if (pinfo == nullptr || pinfo->b_wptr < pinfo->b_rptr ||
        static_cast<size_t>(pinfo->b_wptr - pinfo->b_rptr) < sizeof(dl_info_ack_t))
        return MAX_PPA;

    dl_info_ack_t info;
    memcpy(&info, pinfo->b_rptr, sizeof(info)); /* the block need not be word aligned */
    const char *name = driver_name(q);

    _dlprintf(4096, "add_ppa: q=%lx bip=%lx name=%s style=%x\n", ul(q), ul(bip), name,
              info.dl_provider_style);

    const t_scalar_t sapLength = info.dl_sap_length;
    const long long absSap = sapLength < 0 ? -static_cast<long long>(sapLength) : sapLength;
    const long long physLength = static_cast<long long>(info.dl_addr_length) - absSap;
    const int addrLength = static_cast<int>(physLength);
    if (physLength > NVX_MAX_PHYS_ADDR || physLength < 0) {
        printf("add_ppa: unsupported nic driver: name %s dl_style %x dl_addr_length %d\n", name,
               info.dl_provider_style, addrLength);
        return MAX_PPA;
    }

    /* The physical address: before the SAP when the SAP length is negative, else behind it. It
     * is read only when it lies wholly inside the acknowledgement's block. */
    const unsigned long long addrOffset =
        static_cast<unsigned long long>(info.dl_addr_offset) + (sapLength < 0 ? 0 : absSap);
    const unsigned long long blockLength =
        static_cast<unsigned long long>(pinfo->b_wptr - pinfo->b_rptr);
    if (addrOffset + static_cast<unsigned long long>(addrLength) > blockLength) {
        printf("add_ppa: unsupported nic driver: name %s dl_style %x dl_addr_length %d\n", name,
               info.dl_provider_style, addrLength);
        return MAX_PPA;
    }
    const BYTE *addr = pinfo->b_rptr + addrOffset;
    const bool style2 = info.dl_provider_style == DL_STYLE2;

    rw_enter(&nvx_rwlock, RW_WRITER);
    if (style2)
        format_ppaname(bip->ppaname, name, static_cast<int>(bip->dl_ppa));

    const size_t nameLength = strlen(name);
    int freeSlot = MAX_PPA;
    for (int i = 0; i < MAX_PPA; i++) {
        ppaInfo *slot = &ppaList[i].info;
        if (style2) {
            if (name_equals(slot->devicename, bip->ppaname)) {
                rw_exit(&nvx_rwlock);
                return static_cast<U32>(i);
            }
            if (name_equals(slot->devicename, NVX_UNKNOWN_PPA)) {
                freeSlot = i;
                break;
            }
        } else {
            if (slot->dl_addr_length == static_cast<U32>(addrLength) &&
                memcmp(slot->aucMacAddress, addr, static_cast<size_t>(addrLength)) == 0 &&
                strncmp(slot->devicename, name, nameLength) == 0) {
                copy_name(bip->ppaname, slot->devicename);
                rw_exit(&nvx_rwlock);
                return static_cast<U32>(i);
            }
            if (slot->dl_addr_length == 0) {
                freeSlot = i;
                break;
            }
        }
    }
    if (freeSlot == MAX_PPA) {
        rw_exit(&nvx_rwlock);
        return MAX_PPA;
    }

    ppaInfo *slot = &ppaList[freeSlot].info;
    format_ppaname(slot->devicename, name, style2 ? static_cast<int>(bip->dl_ppa) : freeSlot);
    copy_name(bip->ppaname, slot->devicename);
    slot->dl_max_sdu = info.dl_max_sdu;
    slot->dl_mac_type = info.dl_mac_type;
    slot->dl_provider_style = info.dl_provider_style;
    slot->dl_brdcst_addr_length = info.dl_brdcst_addr_length;
    slot->dl_addr_length = static_cast<U32>(addrLength);
    memset(slot->aucMacAddress, 0, sizeof(slot->aucMacAddress));
    memcpy(slot->aucMacAddress, addr, static_cast<size_t>(addrLength));
    const BYTE *m = slot->aucMacAddress;
    _dlprintf(1, "NVX: Configuring: Addr: %x:%x:%x:%x:%x:%x , name %s style 0x%x\n", m[0], m[1],
              m[2], m[3], m[4], m[5], bip->ppaname, info.dl_provider_style);
    rw_exit(&nvx_rwlock);
    return static_cast<U32>(freeSlot);
}

U32 find_ppa(BindingInfo *bip)
{
    _dlprintf(16, "find_ppa: searching for %s\n", bip->ppaname);
    rw_enter(&nvx_rwlock, RW_READER);
    for (int i = 0; i < MAX_PPA; i++) {
        const char *slotName = ppaList[i].info.devicename;
        /* The first free slot ends the scan before the name is compared: a binding still named
         * NVX_UNKNOWN_PPA must not find a free slot as its adapter. */
        if (name_equals(slotName, NVX_UNKNOWN_PPA))
            break;
        if (name_equals(slotName, bip->ppaname)) {
            rw_exit(&nvx_rwlock);
            _dlprintf(16, "find_ppa: found %s at index %d\n", bip->ppaname, i);
            return static_cast<U32>(i);
        }
    }
    rw_exit(&nvx_rwlock);
    _dlprintf(16, "find_ppa: could not find %s\n", bip->ppaname);
    return MAX_PPA;
}
