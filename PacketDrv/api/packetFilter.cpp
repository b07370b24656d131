/*
 * libnvxapi filter calls: the library's two filter tables (single-protocol and all-protocol,
 * 32 filters in all) and pushing them to the driver.
 *
 * - Calling order: PurgePacketFilters (driver and local tables empty), AddPacketFilter for
 *   each filter, PushAllPacketFilters. Each table is sorted and sent middle element first, so
 *   that the driver's unbalanced search tree, filled in that order, comes out balanced.
 * - Unlike the rest of the library these calls print to standard error; the messages below are
 *   the complete set. A refused ioctl is reported as the negative ioctl result.
 * - No locks: filter set-up comes from one thread.
 */
#include "packetLib.h"

#include <stdio.h>
#include <stdlib.h>

#define NVX_USER_PLATFORM_NAMES
#include "nvx_user.h"

namespace
{

constexpr U8 kAnyProtocol = 255;

FilterElement single_protocol_filter[PACKET_MAX_FILTERS];
FilterElement all_protocol_filter[PACKET_MAX_FILTERS];
size_t s_uNextSingleProtocolFilter = 0;
size_t s_uNextMultipleProtocolFilter = 0;

/*
 * qsort order: address (unsigned), mask, protocol with 255 counting as 127 (unless the other
 * side is exactly 127, then it stays 255), direction.
 */
int CompareFilters(const void *pa, const void *pb)
{
    const auto *a = static_cast<const FilterElement *>(pa);
    const auto *b = static_cast<const FilterElement *>(pb);
    if (a->ulIpAddress != b->ulIpAddress)
        return a->ulIpAddress > b->ulIpAddress ? 1 : -1;
    if (int d = a->ucNetMask - b->ucNetMask; d != 0)
        return d;
    int protoA = a->ucProtocol;
    int protoB = b->ucProtocol;
    if (a->ucProtocol == kAnyProtocol && b->ucProtocol != 127)
        protoA = 127;
    if (b->ucProtocol == kAnyProtocol && a->ucProtocol != 127)
        protoB = 127;
    if (int d = protoA - protoB; d != 0)
        return d;
    return a->ucDirection - b->ucDirection;
}

/* Sends one filter on its own descriptor. */
int PushPacketFilter(U32 ulIpAddress, U8 ucNetmask, U8 ucProtocol, U8 ucDirection)
{
    if (ulIpAddress == 0)
        return PACKETERR_BAD_PARAMETERS;
    int fd = PacketOpenDevice();
    if (fd < 0) {
        fprintf(stderr, "Unable to push packet filter:  driver not found.\n");
        return PACKETERR_DRIVER_NOT_FOUND;
    }
    FilterElement f = {ulIpAddress, ucNetmask, ucProtocol, ucDirection, 0};
    int rc = strioctl(fd, NVX_ADD_FILTER_IOCTL, -1, sizeof(f), reinterpret_cast<char *>(&f));
    int result = PACKET_SUCCESS;
    if (rc < 0) {
        fprintf(stderr, "Unable to push packet filter:  ioctl = 0x%x; error  = 0x%x.\n",
                NVX_ADD_FILTER_IOCTL, static_cast<unsigned>(rc));
        printIoctlError(NVX_ADD_FILTER_IOCTL);
        result = rc;
    }
    close(fd);
    return result;
}

/* Sends each subrange's middle element (the upper one for even counts) before its halves. */
int PopulateFiltersFromSortedArray(const FilterElement *pArray, size_t uCount)
{
    if (pArray == nullptr || uCount == 0)
        return PACKET_SUCCESS;
    size_t mid = uCount / 2;
    const FilterElement &m = pArray[mid];
    if (int rc = PushPacketFilter(m.ulIpAddress, m.ucNetMask, m.ucProtocol, m.ucDirection))
        return rc;
    if (mid == 0)
        return PACKET_SUCCESS;
    if (int rc = PopulateFiltersFromSortedArray(pArray, mid))
        return rc;
    if (mid + 1 < uCount)
        return PopulateFiltersFromSortedArray(pArray + mid + 1, uCount - mid - 1);
    return PACKET_SUCCESS;
}

int PopulateFiltersFromArray(FilterElement *pArray, size_t uCount)
{
    qsort(pArray, uCount, sizeof(FilterElement), CompareFilters);
    return PopulateFiltersFromSortedArray(pArray, uCount);
}

} // namespace

extern "C" {

int AddPacketFilter(U32 ulIpAddress, U8 ucNetmask, U8 ucProtocol, U8 ucDirection)
{
    if (s_uNextSingleProtocolFilter + s_uNextMultipleProtocolFilter > PACKET_MAX_FILTERS - 1)
        return PACKETERR_MAX_FILTERS_EXCEEDED;
    FilterElement f = {ulIpAddress, ucNetmask, ucProtocol, ucDirection, 0};
    if (ucProtocol == kAnyProtocol)
        all_protocol_filter[s_uNextMultipleProtocolFilter++] = f;
    else
        single_protocol_filter[s_uNextSingleProtocolFilter++] = f;
    return PACKET_SUCCESS;
}

int PushAllPacketFilters(void)
{
    int result = PACKET_SUCCESS;
    if (s_uNextMultipleProtocolFilter > 0) {
        fprintf(stderr, "Pushing %d multiple-protocol packet filters to driver.\n",
                static_cast<int>(s_uNextMultipleProtocolFilter));
        result = PopulateFiltersFromArray(all_protocol_filter, s_uNextMultipleProtocolFilter);
    }
    if (result == PACKET_SUCCESS && s_uNextSingleProtocolFilter > 0) {
        fprintf(stderr, "Pushing %d single-protocol packet filters to driver.\n",
                static_cast<int>(s_uNextSingleProtocolFilter));
        result = PopulateFiltersFromArray(single_protocol_filter, s_uNextSingleProtocolFilter);
    }
    return result;
}

int PurgePacketFilters(void)
{
    int result = PACKET_SUCCESS;
    int fd = PacketOpenDevice();
    if (fd < 0) {
        fprintf(stderr, "Unable to purge packet fiilters:  driver not found.\n");
        result = PACKETERR_DRIVER_NOT_FOUND;
    } else {
        int rc = strioctl(fd, NVX_FLUSH_FILTERS_IOCTL, -1, 0, nullptr);
        if (rc < 0) {
            fprintf(stderr, "Unable to purge packet filters:  ioctl = 0x%x; error  = 0x%x.\n",
                    NVX_FLUSH_FILTERS_IOCTL, static_cast<unsigned>(rc));
            printIoctlError(NVX_FLUSH_FILTERS_IOCTL);
            result = rc;
        }
    }
    /* The tables are emptied even when the driver was not told. */
    s_uNextSingleProtocolFilter = 0;
    s_uNextMultipleProtocolFilter = 0;
    if (fd >= 0)
        close(fd);
    return result;
}

} // extern "C"
