/*
 * nvxpush [-l|-v|-p|-?] [-]devname
 *
 * The first argument decides: "-?" (or none) usage, "-v" version, "-p" load the nvx driver,
 * "-l devname" list the driver's autopushed modules; anything else is a device name, whose
 * driver gets nvx added to its autopush list, or removed when the name starts with "-" (so
 * an unknown option such as -x means: remove nvx from driver x).
 */
#include "nvxpush.h"

#define NVX_USER_PLATFORM_NAMES
#include "nvx_user.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>

#define USAGE_FORMAT                                                                               \
    "Usage: %s [-l?v?p] [-]<devname>\n"                                                            \
    "       if `-' is used, nvx is removed\n"                                                      \
    "\t\t-v display version info\n"                                                                \
    "\t\t-p load nvx driver/module\n"                                                              \
    "       -l list autopushed modules\n"

namespace
{

int usage(const char *prog)
{
    fprintf(stderr, USAGE_FORMAT, prog);
    return NVXPUSH_USAGE;
}

// Opening the clone device makes the platform load the driver (and attach it); the stream
// is of no further use.
int load_driver()
{
    int fd = open(NVX_DEVICE_PATH, O_RDONLY);
    if (fd < 0) {
        perror(NVX_DEVICE_PATH);
        return NVXPUSH_FAILED;
    }
    close(fd);
    return NVXPUSH_OK;
}

} // namespace

int main(int argc, char **argv)
{
    const char *prog = argc > 0 && argv[0] ? argv[0] : "nvxpush";
    if (argc < 2)
        return usage(prog);

    const char *arg = argv[1];
    if (strcmp(arg, "-?") == 0)
        return usage(prog);
    if (strcmp(arg, "-v") == 0) {
        printf("Quillmarch NVXPUSH Version %d\n", NVXPUSH_VERSION);
        return NVXPUSH_OK;
    }
    if (strcmp(arg, "-p") == 0)
        return load_driver();

    int list = 0;
    if (strcmp(arg, "-l") == 0) {
        if (argc < 3) // -l names no device
            return usage(prog);
        list = 1;
        arg = argv[2];
    }

    int remove = 0; // irrelevant with -l
    if (arg[0] == '-') {
        remove = 1;
        ++arg;
    }
    if (arg[0] == '\0') // "-" alone names no device either
        return usage(prog);

    // A driver name comes out of device_path's BUFF_SIZE buffer: refuse what does not fit
    // rather than act on a cut name (which could be another driver's).
    size_t len = strlen(arg);
    if (len >= BUFF_SIZE) {
        fprintf(stderr, "nvxpush: device name too long (%zu characters, at most %d)\n", len,
                BUFF_SIZE - 1);
        return NVXPUSH_FAILED;
    }
    char name[NAME_SIZE];
    memcpy(name, arg, len + 1);

    return nvxpush(device_path(name), list, remove);
}
