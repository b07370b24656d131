/*
 * Trace facility, kernel variant (linked into the nvx kernel object): every piece goes to the
 * kernel console. There is no trace file, process id or clock here; dheader_flags is kept but
 * not used.
 *
 * Context: any (put procedures, timers, ioctl handlers); the console printing never sleeps.
 */
#include "debug.h"
#include "debug_variant.h"

#include <sys/cmn_err.h>

extern "C" {

/* The header name followed by ": ", as one piece. */
void _dprint_header(void)
{
    char name[sizeof dheader];
    if (_dheader_name(name) == 0)
        return;
    char header[DHEADER_SIZE];
    header[0] = '\0';
    _dappendf(header, sizeof header, "%s: ", name);
    _output(header);
}

/* Through the console with "%s", so that the text is never taken for a format. */
void _output(const char *s)
{
    printf("%s", s);
}

void _dassert(const char *str, int line, const char *file)
{
    if (!_dtracing())
        return;
    _dprintf("%s: failed on line %d in %s\n", str != nullptr ? str : "(null)", line,
             file != nullptr ? file : "(null)");
    panic("_dassert panic");
}

/* The kernel has no trace file. */
void _dopen(const char *filename)
{
    (void)filename;
}

void _dclose(void) {}

} // extern "C"
