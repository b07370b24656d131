#include "sad_client.h"

#include "nvx_user.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace pushtest
{

namespace
{

// One request on a fresh stream; 0 or errno.
int sad_request(int request, struct strapush *ap)
{
    int fd = nvx_open("/dev/sad/admin", O_RDWR);
    if (fd < 0)
        return errno;
    int err = nvx_ioctl(fd, request, ap) < 0 ? errno : 0;
    nvx_close(fd);
    return err;
}

} // namespace

int sad_set(int major, unsigned cmd, unsigned minor, unsigned lastminor,
            const std::vector<std::string> &modules)
{
    struct strapush ap;
    std::memset(&ap, 0, sizeof ap);
    ap.sap_cmd = cmd;
    ap.sap_major = static_cast<major_t>(major);
    ap.sap_minor = minor;
    ap.sap_lastminor = lastminor;
    ap.sap_npush = static_cast<uint_t>(modules.size());
    for (size_t i = 0; i < modules.size() && i < MAXAPUSH; ++i)
        std::strncpy(ap.sap_list[i], modules[i].c_str(), FMNAMESZ);
    return sad_request(SAD_SAP, &ap);
}

int sad_set_all(int major, const std::vector<std::string> &modules)
{
    return sad_set(major, SAP_ALL, 0, 0, modules);
}

int sad_clear(int major, unsigned minor)
{
    return sad_set(major, SAP_CLEAR, minor, 0, {});
}

int sad_get(int major, unsigned minor, AutopushEntry *entry)
{
    struct strapush ap;
    std::memset(&ap, 0, sizeof ap);
    ap.sap_cmd = SAP_ALL;
    ap.sap_major = static_cast<major_t>(major);
    ap.sap_minor = minor;
    if (int err = sad_request(SAD_GAP, &ap))
        return err;
    entry->cmd = ap.sap_cmd;
    entry->minor = ap.sap_minor;
    entry->lastminor = ap.sap_lastminor;
    entry->modules.clear();
    for (uint_t i = 0; i < ap.sap_npush && i < MAXAPUSH; ++i)
        entry->modules.emplace_back(ap.sap_list[i], strnlen(ap.sap_list[i], FMNAMESZ + 1));
    return 0;
}

std::string sad_modules(int major)
{
    AutopushEntry e;
    int err = sad_get(major, 0, &e);
    if (err == ENODEV)
        return "none";
    if (err)
        return std::string("error ") + std::strerror(err);
    std::string s;
    for (const auto &m : e.modules)
        s += (s.empty() ? "" : " ") + m;
    return s;
}

void sad_clear_major(int major, unsigned max_minor)
{
    int fd = nvx_open("/dev/sad/admin", O_RDWR);
    if (fd < 0)
        return;
    for (unsigned m = 0; m <= max_minor; ++m) {
        struct strapush ap;
        std::memset(&ap, 0, sizeof ap);
        ap.sap_major = static_cast<major_t>(major);
        ap.sap_minor = m;
        if (nvx_ioctl(fd, SAD_GAP, &ap) != 0)
            continue;
        minor_t first = ap.sap_cmd == SAP_ALL ? 0 : ap.sap_minor;
        std::memset(&ap, 0, sizeof ap);
        ap.sap_cmd = SAP_CLEAR;
        ap.sap_major = static_cast<major_t>(major);
        ap.sap_minor = first;
        (void)nvx_ioctl(fd, SAD_SAP, &ap);
    }
    nvx_close(fd);
}

} // namespace pushtest
