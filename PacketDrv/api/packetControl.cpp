/*
 * libnvxapi control calls: ignore a source for a while, set the bypass address, tuning and
 * trace parameters, and the stubs of the family.
 *
 * - PacketIgnore and PacketSetParameter open and close their own descriptor on the driver and
 *   need neither PacketInit nor an open adapter; PacketBypass uses the open adapter's.
 * - No locks: GlobalReadThreshold is a process global without protection (read by PacketRead
 *   on any adapter, a change takes effect on each adapter's next read).
 */
#include "packetLib.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#define NVX_USER_PLATFORM_NAMES
#include "nvx_user.h"

extern "C" {
int GlobalReadThreshold = 0;
}

namespace
{

/* What a parameter key does. */
enum class ParamAction {
    DriverDecimal, /* atoi, sent as ulArg */
    DriverNumber,  /* strtol base 0, sent as ulArg */
    DriverOnly,    /* value not read; ulArg 0 */
    ReadThreshold, /* library only */
    TraceSwitch,   /* library trace switch, then the driver's */
    TraceFile,     /* library only */
};

struct ParamKey {
    const char *name;
    ParamAction action;
    U32 ulType;
    U32 ulSubType;
};

/* Tested in this order, each as a prefix of the caller's key. */
constexpr ParamKey kParamKeys[] = {
    {"timeout", ParamAction::DriverDecimal, NVX_CONFIG_TIMEOUT, 0},
    {"threshold", ParamAction::DriverDecimal, NVX_CONFIG_THRESHOLD, 0},
    {"readThreshold", ParamAction::ReadThreshold, 0, 0},
    {"debug.enable", ParamAction::TraceSwitch, NVX_CONFIG_DEBUG, NVX_CONFIG_TRACE},
    {"debug.level", ParamAction::DriverNumber, NVX_CONFIG_DEBUG, NVX_CONFIG_TRACE_LEVEL},
    {"debug.dump", ParamAction::DriverOnly, NVX_CONFIG_DEBUG, NVX_CONFIG_DUMP_ALL},
    {"debug.stats", ParamAction::DriverOnly, NVX_CONFIG_DEBUG, NVX_CONFIG_DUMP_STATS},
    {"debug.queues", ParamAction::DriverOnly, NVX_CONFIG_DEBUG, NVX_CONFIG_DUMP_QUEUES},
    {"debug.file", ParamAction::TraceFile, 0, 0},
};

constexpr size_t kMaxParamValue = 100;
constexpr char kTraceHeader[] = "NVX";
constexpr int kTraceHeaderFlags = 7; /* process id, date and time */

const ParamKey *FindParamKey(const char *key)
{
    for (const ParamKey &k : kParamKeys)
        if (strncmp(key, k.name, strlen(k.name)) == 0)
            return &k;
    return nullptr;
}

} // namespace

extern "C" {

int PacketIgnore(U32 ulIgnoreIp, U32 ulIgnoreTime, U32 ulIgnoreProtocol)
{
    _dprintf("%s: %x, %x, %d\n", __func__, ulIgnoreIp, ulIgnoreTime,
             static_cast<int>(ulIgnoreProtocol));
    if (ulIgnoreIp == 0)
        return PACKETERR_BAD_PARAMETERS;
    int fd = PacketOpenDevice();
    if (fd < 0) {
        _dprintf("%s: error %d opening the packet capture driver\n", __func__, errno);
        return PACKETERR_DRIVER_NOT_FOUND;
    }
    IgnoreData req; /* the record's order differs from the arguments' */
    req.ulIgnoreTime = ulIgnoreTime;
    req.ulIgnoreIp = ulIgnoreIp;
    req.ulIgnoreProtocol = ulIgnoreProtocol;
    int result = PACKET_SUCCESS;
    if (strioctl(fd, NVX_IGNORE_IOCTL, -1, sizeof(req), reinterpret_cast<char *>(&req)) < 0) {
        printIoctlError(NVX_IGNORE_IOCTL);
        result = PACKETERR_GENERAL;
    }
    close(fd);
    return result;
}

int PacketBypass(ADAPTER_INFO *pai, U32 ulBypass, U32 bPersistant)
{
    if (pai == nullptr || ulBypass == 0)
        return PACKETERR_BAD_PARAMETERS;
    PPAData *ppa = PacketFindOpen(pai);
    if (ppa == nullptr)
        return PACKETERR_GENERAL;
    BypassData req;
    req.ulBypass = ulBypass;
    req.bPersistant = bPersistant;
    if (strioctl(ppa->fd, NVX_BYPASS_IOCTL, -1, sizeof(req), reinterpret_cast<char *>(&req)) < 0) {
        printIoctlError(NVX_BYPASS_IOCTL);
        return PACKETERR_GENERAL;
    }
    return PACKET_SUCCESS;
}

int PacketSetParameter(const char *key, const char *value)
{
    if (key == nullptr)
        return PACKETERR_BAD_PARAMETERS;
    if (value != nullptr && strnlen(value, kMaxParamValue + 1) > kMaxParamValue)
        return PACKETERR_BAD_PARAMETERS;
    const ParamKey *k = FindParamKey(key);
    if (k == nullptr)
        return PACKETERR_BAD_PARAMETERS;
    /* Only the three dump keys do without a value. */
    if (value == nullptr && k->action != ParamAction::DriverOnly)
        return PACKETERR_BAD_PARAMETERS;
    ConfigData req = {k->ulType, k->ulSubType, 0};
    switch (k->action) {
    case ParamAction::ReadThreshold:
        GlobalReadThreshold = static_cast<int>(strtol(value, nullptr, 0));
        return PACKET_SUCCESS;
    case ParamAction::TraceFile:
        _dsetheader(kTraceHeader, kTraceHeaderFlags);
        _debug(1);
        _dopen(value);
        return PACKET_SUCCESS;
    case ParamAction::TraceSwitch:
        req.ulArg = static_cast<U32>(strtol(value, nullptr, 0));
        _dsetheader(kTraceHeader, kTraceHeaderFlags);
        _debug(static_cast<int>(req.ulArg));
        break;
    case ParamAction::DriverDecimal:
        req.ulArg = static_cast<U32>(atoi(value));
        break;
    case ParamAction::DriverNumber:
        req.ulArg = static_cast<U32>(strtol(value, nullptr, 0));
        break;
    case ParamAction::DriverOnly:
        break;
    }
    int fd = PacketOpenDevice();
    if (fd < 0) {
        _dprintf("error %d opening packet capture driver\n", errno);
        return PACKETERR_DRIVER_NOT_FOUND;
    }
    int result = PACKET_SUCCESS;
    if (strioctl(fd, NVX_CONFIG_IOCTL, -1, sizeof(req), reinterpret_cast<char *>(&req)) < 0) {
        printIoctlError(NVX_CONFIG_IOCTL);
        result = PACKETERR_GENERAL;
    }
    close(fd);
    return result;
}

int PacketInject(ADAPTER_INFO *pai, PACKET_BUFFER *pOriginalFrame, U32 ulLen, U8 *pxFrame,
                 U32 ulInterface)
{
    (void)pai;
    (void)pOriginalFrame;
    (void)ulLen;
    (void)pxFrame;
    (void)ulInterface;
    return PACKETERR_NOT_IMPLEMENTED;
}

int PacketClientCount(U32 *pulCount)
{
    (void)pulCount;
    return PACKETERR_NOT_IMPLEMENTED;
}

int PacketSetNotifyRoutine(PFN_APPNOTIFY pfnRoutine)
{
    (void)pfnRoutine;
    return PACKETERR_NOT_IMPLEMENTED;
}

int PacketSetIdsFeatures(ADAPTER_INFO *pai, U32 *pulFeatures)
{
    (void)pai;
    (void)pulFeatures;
    return PACKETERR_NOT_IMPLEMENTED;
}

int PacketGetStatistics(ADAPTER_INFO *pai, ADAPTER_STATISTICS *pas, int bResetStats)
{
    (void)pai;
    (void)pas;
    (void)bResetStats;
    return PACKETERR_NOT_IMPLEMENTED;
}

} // extern "C"
