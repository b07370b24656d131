/*
 * libnvxapi setup and adapters: the version handshake, the adapter list, opening and closing
 * one adapter, shutting everything down, and the services the other library files use
 * (strioctl, printIoctlError, device_ppa, the open-adapter lookup).
 *
 * - Every call traces its own name first (only when tracing is on); failures are codes, plus
 *   the listed trace lines. Nothing is printed otherwise.
 * - Descriptors: the list call opens and closes its own; an open adapter owns one from
 *   PacketOpen to PacketClose. Every failure path closes what it opened and frees what it
 *   allocated.
 * - Concurrency: ListLock guards pList (the push in PacketOpen, the unlink in PacketClose, the
 *   lookups). PacketInit, PacketTerminate and PacketGetAdapterList must not overlap other calls.
 */
#include "packetLib.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Last: the platform's names for open, close, ioctl, mmap and munmap. */
#define NVX_USER_PLATFORM_NAMES
#include "nvx_user.h"

extern "C" {

const char deviceName[] = "/dev/nvx";
PPAData *pList = nullptr;                             /* L */
pthread_mutex_t ListLock = PTHREAD_MUTEX_INITIALIZER; /* usable before PacketInit too */
pthread_mutex_t *pListLock = nullptr;

} // extern "C"

namespace
{

/* Bytes PacketGetAdapterList needs per adapter: one pointer and one record. */
constexpr unsigned kPerAdapter = sizeof(ADAPTER_INFO *) + sizeof(ADAPTER_INFO);

#if UINTPTR_MAX > 0xffffffffu
U32 s_ulLastLink = 0; /* L: the last token handed out */
#endif

/*
 * The value aulReserved[0] gets for a new open record: the record's address where it fits a
 * 32-bit word, else a non-zero token no other open record holds. Called with ListLock held.
 */
U32 NewLinkLocked(PPAData *ppa)
{
#if UINTPTR_MAX > 0xffffffffu
    (void)ppa;
    for (;;) {
        U32 link = ++s_ulLastLink;
        if (link == 0)
            continue;
        bool used = false;
        for (PPAData *p = pList; p != nullptr; p = p->pNext)
            used = used || p->ulLink == link;
        if (!used)
            return link;
    }
#else
    return static_cast<U32>(reinterpret_cast<uintptr_t>(ppa));
#endif
}

/* Unlinks ppa from pList if it is there (a record not found is simply not unlinked). */
void UnlinkRecord(PPAData *ppa)
{
    lockMutex(&ListLock);
    for (PPAData **pp = &pList; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == ppa) {
            *pp = ppa->pNext;
            break;
        }
    }
    unlockMutex(&ListLock);
}

/* Fills the fields PacketGetAdapterList and PacketOpen both set from an adapter's ppaInfo. */
void FillFromPpaInfo(ADAPTER_INFO *pai, const ppaInfo *info)
{
    pai->ulSize = sizeof(ADAPTER_INFO);
    pai->ulMedium = PB_MEDIUM_DIX;
    pai->ulNumCards = 1;
    U32 addrLen = info->dl_addr_length;
    if (addrLen > sizeof(pai->aCardInfo[0].aucMacAddress))
        addrLen = sizeof(pai->aCardInfo[0].aucMacAddress); /* never more than the field */
    pai->ulAddressLength = addrLen;
    memcpy(pai->aCardInfo[0].aucMacAddress, info->aucMacAddress, addrLen);
    pai->aCardInfo[0].ulLinkSpeed = ADAPTER_LINK_SPEED;
    pai->ulMaxPacketSize = info->dl_max_sdu;
    pai->ulRcvBufferSize = info->dl_max_sdu;
    pai->ulTotalFrameElementSize = info->dl_max_sdu;
}

} // namespace

extern "C" {

PPAData *PacketFindOpen(const ADAPTER_INFO *pai)
{
    if (pai == nullptr || pai->aulReserved[0] == 0 || (pai->ulProperties & ADAPTER_PROP_OPEN) == 0)
        return nullptr;
    /* Uninitialised: nothing is open (PacketOpen needs PacketInit, PacketTerminate closes all),
     * and ListLock is destroyed. */
    if (pListLock == nullptr)
        return nullptr;
    PPAData *found = nullptr;
    lockMutex(&ListLock);
    for (PPAData *p = pList; p != nullptr && found == nullptr; p = p->pNext)
        if (p->ulLink == pai->aulReserved[0])
            found = p;
    unlockMutex(&ListLock);
    return found;
}

int PacketOpenDevice(void)
{
    return open(deviceName, O_RDWR);
}

int strioctl(int fd, int cmd, int timout, int len, char *dp)
{
    struct strioctl sioc;
    sioc.ic_cmd = cmd;
    sioc.ic_timout = timout;
    sioc.ic_len = len;
    sioc.ic_dp = dp;
    int rc = ioctl(fd, I_STR, &sioc);
    if (rc < 0)
        return rc;
    return sioc.ic_len;
}

void printIoctlError(int cmd)
{
    const char *name = nullptr;
    switch (cmd) {
    case NVX_INIT_IOCTL:
        name = "NVX_INIT_IOCTL";
        break;
    case NVX_OPEN_IOCTL:
        name = "NVX_OPEN_IOCTL";
        break;
    case NVX_CLOSE_IOCTL:
        name = "NVX_CLOSE_IOCTL";
        break;
    case NVX_CREATE_RX_IOCTL:
        name = "NVX_CREATE_RX_IOCTL";
        break;
    case NVX_CLOSE_RX_IOCTL:
        name = "NVX_CLOSE_RX_IOCTL";
        break;
    case NVX_READ_IOCTL:
        name = "NVX_READ_IOCTL";
        break;
    case NVX_FREE_IOCTL:
        name = "NVX_FREE_IOCTL";
        break;
    case NVX_INJECT_IOCTL:
        name = "NVX_INJECT_IOCTL";
        break;
    default: /* 0x700A to 0x700F and anything else: the errno line only */
        break;
    }
    int err = errno; /* the first trace line must not change what the second one prints */
    if (name != nullptr)
        _dprintf("%s ioctl failed, ", name);
    _dprintf("errno: %d\n", err);
    errno = err;
}

int device_ppa(const char *device)
{
    if (device == nullptr)
        return 0;
    const char *p = device;
    for (;;) {
        while (*p != '\0' && !isdigit(static_cast<unsigned char>(*p)))
            p++;
        if (*p == '\0')
            return 0;
        const char *run = p;
        while (isdigit(static_cast<unsigned char>(*p)))
            p++;
        if (*p == '\0')
            return atoi(run);
    }
}

int PacketGetVersion(U32 *pulMajor, U32 *pulMinor)
{
    *pulMajor = PACKET_MAJOR_REVISION;
    *pulMinor = PACKET_MINOR_REVISION;
    return PACKET_SUCCESS;
}

int PacketInit(PKTINITPARMS *ppi)
{
    _dprintf("%s: %x\n", __func__, PacketX32(ppi));
    if (getuid() != 0) {
        _dprintf("%s: Must be root to run this application\n", __func__);
        return PACKETERR_GENERAL;
    }
    if (ppi == nullptr)
        return PACKETERR_BAD_PARAMETERS;
    if (ppi->ulMajorRevision != PACKET_MAJOR_REVISION) {
        _dprintf("%s: PacketInit() Version mismatch. Current = %lu, caller = %lu.\n", __func__,
                 static_cast<unsigned long>(PACKET_MAJOR_REVISION),
                 static_cast<unsigned long>(ppi->ulMajorRevision));
        return PACKETERR_BAD_VERSION;
    }
    int fd = PacketOpenDevice();
    if (fd < 0) {
        _dprintf("%s: Error %d opening packet capture driver\n", __func__, errno);
        return PACKETERR_DRIVER_NOT_FOUND;
    }
    InitData init = {};
    int rc = strioctl(fd, NVX_INIT_IOCTL, -1, sizeof(init), reinterpret_cast<char *>(&init));
    int err = errno;
    close(fd);
    errno = err;
    if (rc < 0) {
        printIoctlError(NVX_INIT_IOCTL);
        return PACKETERR_GENERAL;
    }
    if (static_cast<size_t>(rc) < sizeof(init.ulMajorRevision) ||
        init.ulMajorRevision != NVX_MAJOR_REVISION)
        return PACKETERR_BAD_VERSION;
    /* A repeated call keeps the list lock (and so the open adapters) as it is. */
    if (pListLock == nullptr) {
        initMutex(&ListLock, 0);
        pListLock = &ListLock;
    }
    return PACKET_SUCCESS;
}

int PacketTerminate(void)
{
    _dprintf("%s: called\n", __func__);
    while (pList != nullptr) {
        PPAData *head = pList;
        PacketClose(head->pAdapter);
        if (pList != head)
            continue;
        /*
         * PacketClose refused the record (its ADAPTER_INFO was altered): end it here, so the
         * loop ends. Closing the descriptor ends the capture in the driver.
         */
        if (head->pRcvBuf != nullptr)
            munmap(head->pRcvBuf, static_cast<size_t>(head->RcvBufSize));
        close(head->fd);
        UnlinkRecord(head);
        if (head->pAdapter != nullptr && head->pAdapter->aulReserved[0] == head->ulLink)
            head->pAdapter->aulReserved[0] = 0;
        free(head);
    }
    if (pListLock != nullptr) {
        destroyMutex(&ListLock);
        pListLock = nullptr;
    }
    return PACKET_SUCCESS;
}

int PacketGetAdapterList(void *pvInMem, int ulSize, ADAPTER_INFO ***ppaList, int *pNumItems)
{
    _dprintf("%s: %x, %d, %x, %x\n", __func__, PacketX32(pvInMem), ulSize, PacketX32(ppaList),
             PacketX32(pNumItems));
    unsigned capacity = static_cast<unsigned>(ulSize) / kPerAdapter;
    if (pListLock == nullptr) {
        _dprintf("%s: Packet Library not initialized\n", __func__);
        return PACKETERR_GENERAL;
    }
    if (pvInMem == nullptr || ppaList == nullptr || pNumItems == nullptr || ulSize <= 0)
        return PACKETERR_BAD_PARAMETERS;
    int fd = PacketOpenDevice();
    if (fd < 0) {
        _dprintf("%s: Error %d opening packet capture driver\n", __func__, errno);
        return PACKETERR_DRIVER_NOT_FOUND;
    }
    AdapterData list = {};
    int rc = strioctl(fd, NVX_ADAPTER_IOCTL, -1, sizeof(list), reinterpret_cast<char *>(&list));
    int err = errno;
    close(fd);
    errno = err;
    if (rc < 0) {
        printIoctlError(NVX_ADAPTER_IOCTL);
        return PACKETERR_GENERAL;
    }
    /* Never more entries than the reply holds, whatever devnum says. */
    unsigned devnum = list.devnum < 0 ? 0u : static_cast<unsigned>(list.devnum);
    if (devnum > NVX_MAX_ADAPTERS)
        devnum = NVX_MAX_ADAPTERS;
    if (devnum > capacity) {
        *pNumItems = static_cast<int>(devnum * kPerAdapter); /* a byte count */
        return PACKETERR_BUFFER_TOO_SMALL;
    }
    memset(pvInMem, 0, static_cast<size_t>(ulSize));
    auto **ptrs = static_cast<ADAPTER_INFO **>(pvInMem);
    auto *recs = reinterpret_cast<ADAPTER_INFO *>(static_cast<char *>(pvInMem) +
                                                  devnum * sizeof(ADAPTER_INFO *));
    for (unsigned i = 0; i < devnum; i++) {
        ADAPTER_INFO *pai = &recs[i];
        const ppaInfo *info = &list.devinfo[i];
        ptrs[i] = pai;
        memcpy(pai->szDeviceName, info->devicename, sizeof(info->devicename));
        pai->szDeviceName[sizeof(info->devicename) - 1] = '\0';
        FillFromPpaInfo(pai, info);
        pai->ulProperties |= ADAPTER_PROP_LISTED;
        pai->ulProperties |= ADAPTER_PROP_FAST;
    }
    *ppaList = ptrs;
    *pNumItems = static_cast<int>(devnum);
    return PACKET_SUCCESS;
}

int PacketOpen(ADAPTER_INFO *pai, U32 ulMode)
{
    _dprintf("%s: %x, %x\n", __func__, PacketX32(pai), ulMode);
    if (pListLock == nullptr) {
        _dprintf("%s: Packet Library not initialized\n", __func__);
        return PACKETERR_GENERAL;
    }
    if (pai == nullptr || (ulMode & ~static_cast<U32>(0x30)) != 0)
        return PACKETERR_BAD_PARAMETERS;
    /* The name must fit OpenData.ppaname with its terminator. */
    if (strnlen(pai->szDeviceName, sizeof(pai->szDeviceName)) >= NVX_DEVICENAME_LEN)
        return PACKETERR_BAD_PARAMETERS;
    if (pai->aulReserved[0] != 0) {
        _dprintf("%s: The adapter %s already open!\n", __func__, pai->szDeviceName);
        return PACKETERR_ADAPTER_ALREADY_OPEN;
    }
    auto *ppa = static_cast<PPAData *>(calloc(1, sizeof(PPAData)));
    if (ppa == nullptr) {
        _dprintf("%s: No memory for adapter %s open data\n", __func__, pai->szDeviceName);
        return PACKETERR_NO_MEMORY;
    }
    ppa->fd = PacketOpenDevice();
    if (ppa->fd < 0) {
        _dprintf("%s: Error %d opening packet capture driver\n", __func__, errno);
        free(ppa);
        return PACKETERR_DRIVER_NOT_FOUND;
    }
    OpenData od = {};
    memcpy(od.ppaname, pai->szDeviceName, strlen(pai->szDeviceName));
    if (ulMode == 0)
        ulMode = MODE_INLINE;
    od.ulOpenMode = ulMode;
    if (strioctl(ppa->fd, NVX_OPEN_IOCTL, -1, sizeof(od), reinterpret_cast<char *>(&od)) < 0) {
        printIoctlError(NVX_OPEN_IOCTL);
        close(ppa->fd);
        free(ppa);
        return PACKETERR_GENERAL;
    }
    pai->ulProperties |= ADAPTER_PROP_OPEN;
    FillFromPpaInfo(pai, &od.devinfo);
    pai->ulProperties |= ADAPTER_PROP_FAST;
    ppa->pAdapter = pai;
    ppa->ulMode = ulMode;
    lockMutex(&ListLock);
    ppa->ulLink = NewLinkLocked(ppa);
    pai->aulReserved[0] = ppa->ulLink;
    ppa->pNext = pList;
    pList = ppa;
    unlockMutex(&ListLock);
    return PACKET_SUCCESS;
}

int PacketClose(ADAPTER_INFO *pai)
{
    _dprintf("%s: %x\n", __func__, PacketX32(pai));
    if (pListLock == nullptr) {
        _dprintf("%s: Packet Library not initialized\n", __func__);
        return PACKETERR_GENERAL;
    }
    if (pai == nullptr)
        return PACKETERR_BAD_PARAMETERS;
    PPAData *ppa = PacketFindOpen(pai);
    if (ppa == nullptr) {
        _dprintf("%s: The adapter %s is not open\n", __func__, pai->szDeviceName);
        return PACKETERR_GENERAL;
    }
    /* No close-capture command: the close command ends the capture in the driver. */
    if (ppa->pRcvBuf != nullptr) {
        munmap(ppa->pRcvBuf, static_cast<size_t>(ppa->RcvBufSize));
        ppa->pRcvBuf = nullptr;
        ppa->RcvBufSize = 0;
    }
    int result = PACKET_SUCCESS;
    if (strioctl(ppa->fd, NVX_CLOSE_IOCTL, -1, 0, nullptr) < 0) {
        printIoctlError(NVX_CLOSE_IOCTL);
        result = PACKETERR_NO_BINDING;
    }
    close(ppa->fd);
    UnlinkRecord(ppa);
    pai->aulReserved[0] = 0;
    free(ppa);
    return result;
}

} // extern "C"
