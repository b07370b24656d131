// Direct autopush requests on the host's "/dev/sad/admin" (through the platform's user
// calls, NVX_ROOT as set in this process): the tests' own view of the configuration, to set
// a driver's list up before the tool runs and to check what the tool left.
#ifndef NVX_TESTS_NVXPUSH_SAD_CLIENT_H
#define NVX_TESTS_NVXPUSH_SAD_CLIENT_H

#include <string>
#include <vector>

namespace pushtest
{

struct AutopushEntry {
    unsigned cmd = 0; // SAP_ONE, SAP_RANGE, SAP_ALL
    unsigned minor = 0, lastminor = 0;
    std::vector<std::string> modules;
};

// SAD_SAP with the command; returns 0 or the errno value.
int sad_set(int major, unsigned cmd, unsigned minor, unsigned lastminor,
            const std::vector<std::string> &modules);
// SAP_ALL, every minor.
int sad_set_all(int major, const std::vector<std::string> &modules);
int sad_clear(int major, unsigned minor);
// SAD_GAP for (major, minor); returns 0 or the errno value (ENODEV: no configuration).
int sad_get(int major, unsigned minor, AutopushEntry *entry);
// The modules configured for minor 0 ("none" when there is no configuration), e.g. "moda nvx".
std::string sad_modules(int major);
// Clears every entry of the major that covers a minor in 0..max_minor.
void sad_clear_major(int major, unsigned max_minor);

} // namespace pushtest

#endif
