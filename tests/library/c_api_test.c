/*
 * A C program on the public header alone: the records' sizes, a few calls of each family, and
 * the library's refusal to find a driver where no host runs. Exit status 0 when every check
 * holds; each failed check is printed.
 */
#include <nvxapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);               \
            failures++;                                                                            \
        }                                                                                          \
    } while (0)

int main(void)
{
    CHECK(sizeof(ADAPTER_INFO) == 224);
    CHECK(sizeof(PACKET_BUFFER) == 32);
    CHECK(sizeof(RcvBuffer) == 384);
    CHECK(sizeof(PKTINITPARMS) == 20);

    U32 major = 0, minor = 9;
    CHECK(PacketGetVersion(&major, &minor) == PACKET_SUCCESS);
    CHECK(major == 2 && minor == 0);
    CHECK(device_ppa("qfe12") == 12);
    CHECK(strcmp(deviceName, "/dev/nvx") == 0);

    /* No host at this root: the device cannot be opened. */
    setenv("NVX_ROOT", "/nonexistent/nvx-c-api-test", 1);
    PKTINITPARMS init;
    memset(&init, 0, sizeof init);
    init.ulMajorRevision = 2;
    CHECK(PacketInit(&init) == PACKETERR_DRIVER_NOT_FOUND);
    CHECK(pListLock == NULL);
    init.ulMajorRevision = 3;
    CHECK(PacketInit(&init) == PACKETERR_BAD_VERSION);

    CHECK(PacketSetParameter("readThreshold", "0x10") == PACKET_SUCCESS);
    CHECK(GlobalReadThreshold == 16);
    CHECK(PacketIgnore(0, 1, 6) == PACKETERR_BAD_PARAMETERS);
    CHECK(PacketGetDataPtr(NULL) == (U8 *)(uintptr_t)PACKETERR_BAD_PARAMETERS);
    CHECK(AddPacketFilter(0xc6120000u, 16, 255, 0) == PACKET_SUCCESS);
    CHECK(PurgePacketFilters() == PACKETERR_DRIVER_NOT_FOUND);
    CHECK(PacketClientCount(&major) == PACKETERR_NOT_IMPLEMENTED);

    /* The shared families are exported too. */
    static U32 queue[256];
    void *blob = NULL;
    U32 len = 0;
    CHECK(InitializeCircularQueue(queue, sizeof queue) == PACKET_SUCCESS);
    CHECK(CircularQueueEnqueue(queue, "abcd", 4, NULL) == PACKET_SUCCESS);
    CHECK(CircularQueueDequeueIntermediate(queue, &blob, &len) == PACKET_SUCCESS);
    CHECK(len == 4 && memcmp(blob, "abcd", 4) == 0);
    unsigned char word[2] = {0xff, 0xfe};
    CHECK(getSigned16(word, 0) == -2);
    _debug(0);

    if (failures == 0)
        printf("c_api_test: all checks passed\n");
    return failures == 0 ? 0 : 1;
}
