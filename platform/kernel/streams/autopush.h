/*
 * The autopush configuration kept by the STREAMS administrative driver (sad.cpp) and applied by
 * the stream head when a driver open creates a new stream.
 */
#ifndef NVX_PLATFORM_STREAMS_AUTOPUSH_H
#define NVX_PLATFORM_STREAMS_AUTOPUSH_H

#include <sys/ktypes.h>

#include <string>
#include <vector>

namespace platform::sad
{

// Modules configured for (major, minor), in push order (first pushed first); empty if none.
std::vector<std::string> autopush_list(major_t major, minor_t minor);

// Forget every autopush entry (tests).
void clear_all();

// Installs the administrative driver "sad" (/dev/sad/admin, /dev/sad/user). Idempotent.
void install();

} // namespace platform::sad

#endif
