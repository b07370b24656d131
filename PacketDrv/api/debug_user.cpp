/*
 * Trace facility, user variant (linked into libnvxapi): pieces go to the trace stream dbgfp,
 * standard output until _dopen names a file. The header can carry the process id, the date and
 * the time.
 *
 * Concurrency: streamLock guards dbgfp and the file _dopen opened, so that a trace call in one
 * thread never writes to a stream that _dopen or _dclose in another thread is closing. Each
 * piece is written and flushed under it, so pieces never interleave; a header and its message
 * are two pieces, and another thread's piece may come between them.
 */
#include "debug.h"
#include "debug_variant.h"

#include <mutex>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace
{

std::mutex streamLock;
FILE *openedFile = nullptr; /* streamLock: the file _dopen opened, which _dclose closes */

/* Closes the file _dopen opened, if any; output then goes to standard output. */
void closeOpenedLocked()
{
    if (openedFile == nullptr)
        return;
    if (dbgfp == openedFile)
        dbgfp = nullptr;
    fclose(openedFile);
    openedFile = nullptr;
}

} // namespace

extern "C" {

FILE *dbgfp = nullptr; /* streamLock */

/* "NAME [pid] mm/dd/yy hh.mm.ss: " as the flags ask, local time read once, cut at 99. */
void _dprint_header(void)
{
    char name[sizeof dheader];
    if (_dheader_name(name) == 0)
        return;
    const int flags = __atomic_load_n(&dheader_flags, __ATOMIC_RELAXED);
    char header[DHEADER_SIZE];
    header[0] = '\0';
    _dappendf(header, sizeof header, "%s", name);
    if (flags & 1)
        _dappendf(header, sizeof header, " [%d]", static_cast<int>(getpid()));
    if (flags & 6) {
        time_t now = time(nullptr);
        struct tm local = {};
        localtime_r(&now, &local);
        if (flags & 2)
            _dappendf(header, sizeof header, " %02d/%02d/%02d", local.tm_mon + 1, local.tm_mday,
                      local.tm_year + 1900 - 2000);
        if (flags & 4)
            _dappendf(header, sizeof header, " %02d.%02d.%02d", local.tm_hour, local.tm_min,
                      local.tm_sec);
    }
    _dappendf(header, sizeof header, ": ");
    _output(header);
}

/* Written unchanged (never as a format) and flushed, so the file is current after each piece. */
void _output(const char *s)
{
    std::lock_guard<std::mutex> guard(streamLock);
    if (dbgfp == nullptr)
        dbgfp = stdout;
    fputs(s, dbgfp);
    fflush(dbgfp);
}

void _dassert(const char *str, int line, const char *file)
{
    if (!_dtracing())
        return;
    _dprintf("%s: failed on line %d in %s\n", str != nullptr ? str : "(null)", line,
             file != nullptr ? file : "(null)");
    exit(1);
}

/*
 * Appends to filename from now on. A file opened by an earlier _dopen is closed first; if the
 * new one cannot be opened, output goes to standard output.
 */
void _dopen(const char *filename)
{
    std::lock_guard<std::mutex> guard(streamLock);
    closeOpenedLocked();
    openedFile = filename != nullptr ? fopen(filename, "a") : nullptr;
    dbgfp = openedFile;
}

/* Closes the file _dopen opened; later output goes to standard output. */
void _dclose(void)
{
    std::lock_guard<std::mutex> guard(streamLock);
    closeOpenedLocked();
}

} // extern "C"
