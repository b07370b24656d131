/*
 * The autopush list of one driver: list it, add nvx to it, or take nvx out of it.
 *
 * Order of work: open the administrative driver, find the driver's major, read its list
 * (SAD_GAP), change the copy, then replace the configuration: SAP_CLEAR, and SAP_ALL with the
 * new list unless it is empty. There is no "replace" request (setting a configured device
 * fails with EEXIST), hence clear first. The list as read (ap_save) is kept so that a failure
 * after the clear can put it back.
 *
 * Everything the administrative driver sends back is bounded before use: the module count
 * is checked against MAXAPUSH and names are read within their FMNAMESZ + 1 bytes, so a list
 * that is full or has unterminated names is never read or written past.
 */
#include "nvxpush.h"

// Version 1 of the SAD requests (SAD_GAP 0x4412, SAD_SAP 0x4411, 96-byte strapush).
#define AP_VERSION 1
#define NVX_USER_PLATFORM_NAMES
#include "nvx_user.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

static_assert(sizeof(struct strapush) == STRAPUSH_V1_SIZE, "version 1 strapush");
static_assert(sizeof(NVX_MODULE_NAME) <= FMNAMESZ + 1, "module name fits a list entry");

namespace
{

// "<what>" then perror's "<name>: <error text>", with errno as the failed request left it.
void sad_failed(const char *what, const char *name)
{
    int err = errno;
    fputs(what, stderr);
    errno = err;
    perror(name);
}

// Puts back the list as SAD_GAP returned it, with the minor or range it was configured for;
// any other entry (the lists this tool writes among them) goes back for every minor, SAP_ALL
// from minor 0. Best effort: its result is ignored, the caller has already reported the
// failure that made it necessary.
void restore_saved(int fd, struct strapush *saved)
{
    if (saved->sap_npush == 0)
        return;
    if (saved->sap_cmd != SAP_ONE && saved->sap_cmd != SAP_RANGE) {
        saved->sap_cmd = SAP_ALL;
        saved->sap_minor = 0;
    }
    (void)ioctl(fd, SAD_SAP, saved);
}

// Index of the first entry equal to "nvx", or -1.
int find_nvx(const struct strapush *ap)
{
    for (uint_t i = 0; i < ap->sap_npush; ++i)
        if (strncmp(ap->sap_list[i], NVX_MODULE_NAME, sizeof ap->sap_list[i]) == 0)
            return static_cast<int>(i);
    return -1;
}

void print_list(const char *name, int major, const struct strapush *ap)
{
    printf("%s(%d):", name, major);
    for (uint_t i = 0; i < ap->sap_npush; ++i)
        printf(" %.*s", static_cast<int>(sizeof ap->sap_list[i]), ap->sap_list[i]);
    printf("\n");
}

// Steps after the administrative driver is open; the caller closes fd.
int nvxpush_on(int fd, const char *name, int list, int remove)
{
    int major = 0;
    if (find_major(name, &major) != NVXPUSH_OK)
        return NVXPUSH_FAILED;

    struct strapush ap;
    struct strapush ap_save;
    memset(&ap, 0, sizeof ap);
    ap.sap_cmd = SAP_ALL;
    ap.sap_major = static_cast<major_t>(major);
    ap.sap_minor = 0;
    if (ioctl(fd, SAD_GAP, &ap) < 0) {
        if (errno != ENODEV) {
            sad_failed("SAD_GAP: SAP_ALL failed: ", name);
            return NVXPUSH_FAILED;
        }
        // No autopush configuration: go on with an empty list.
        memset(&ap, 0, sizeof ap);
        ap.sap_cmd = SAP_ALL;
        ap.sap_major = static_cast<major_t>(major);
    }
    if (ap.sap_npush > MAXAPUSH) {
        fprintf(stderr, "SAD_GAP: %s has %u autopushed modules, more than %d\n", name, ap.sap_npush,
                MAXAPUSH);
        return NVXPUSH_FAILED;
    }
    memcpy(&ap_save, &ap, sizeof ap_save);

    if (list) {
        print_list(name, major, &ap);
        return NVXPUSH_OK;
    }

    int at = find_nvx(&ap);
    if (remove) {
        if (at < 0)
            return NVXPUSH_OK;
        if (static_cast<uint_t>(at) != ap.sap_npush - 1) {
            fprintf(stderr, "Warning: %s not last module on %s\n", NVX_MODULE_NAME, name);
            return NVXPUSH_NOT_LAST;
        }
        memset(ap.sap_list[at], 0, sizeof ap.sap_list[at]);
        ap.sap_npush--;
    } else {
        if (at >= 0)
            return NVXPUSH_OK;
        if (ap.sap_npush == MAXAPUSH) {
            fprintf(stderr, "nvxpush: %s already has %d autopushed modules, no room for %s\n", name,
                    MAXAPUSH, NVX_MODULE_NAME);
            return NVXPUSH_FAILED;
        }
        memcpy(ap.sap_list[ap.sap_npush], NVX_MODULE_NAME, sizeof NVX_MODULE_NAME);
        ap.sap_npush++;
    }

    // The old configuration goes first; ENODEV: there was none.
    ap.sap_cmd = SAP_CLEAR;
    ap.sap_major = static_cast<major_t>(major);
    ap.sap_minor = 0;
    if (ioctl(fd, SAD_SAP, &ap) < 0 && errno != ENODEV) {
        sad_failed("SAD_SAP: SAP_CLEAR failed: ", name);
        restore_saved(fd, &ap_save);
        return NVXPUSH_FAILED;
    }

    if (ap.sap_npush > 0) {
        ap.sap_cmd = SAP_ALL;
        ap.sap_minor = 0;
        if (ioctl(fd, SAD_SAP, &ap) < 0 && errno != ENODEV) {
            sad_failed("SAD_SAP: SAP_ALL failed: ", name);
            // The old list is cleared by now: without it the driver would keep no
            // configuration at all.
            restore_saved(fd, &ap_save);
            return NVXPUSH_FAILED;
        }
    }
    return NVXPUSH_OK;
}

} // namespace

int nvxpush(const char *name, int list, int remove)
{
    int fd = open(SAD_ADMIN_PATH, O_RDWR);
    if (fd < 0) {
        perror(SAD_ADMIN_PATH);
        return NVXPUSH_FAILED;
    }
    int status = nvxpush_on(fd, name, list, remove);
    close(fd);
    return status;
}
