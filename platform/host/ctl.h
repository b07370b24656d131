/*
 * The client side of the admin commands: `streamhost ctl COMMAND [ARG...]` sends one Admin
 * request over the host's socket and prints the host's text (to standard output on success,
 * to standard error on failure).
 */
#ifndef NVX_PLATFORM_HOST_CTL_H
#define NVX_PLATFORM_HOST_CTL_H

#include <string>
#include <vector>

namespace platform::host
{

// Sends the command; returns 0 or the errno value the host answered (ECONNREFUSED, ENOENT ...
// when no host runs) and the host's text in *text.
int ctl_command(const std::string &root, const std::vector<std::string> &args, std::string *text);

// The command line's behaviour: prints and returns the exit status (0, 1 refused, 2 no host).
int run_ctl(const std::string &root, const std::vector<std::string> &args);

} // namespace platform::host

#endif
