/*
 * The console log as the platform's own code and the tests see it: every line the kernel prints
 * is kept in memory (and written to a file and/or standard error when configured), so that a
 * test can read what the driver said.
 */
#ifndef NVX_PLATFORM_CONSOLE_LOG_H
#define NVX_PLATFORM_CONSOLE_LOG_H

#include <string>

namespace platform::console
{

// Everything printed since the last take(), and forget it.
std::string take();

// Everything printed since the last take(), kept.
std::string peek();

// Also append every piece of console output to this file ("" to stop).
void set_log_file(const std::string &path);

// Also copy every piece of console output to standard error.
void set_echo(bool on);

} // namespace platform::console

#endif
