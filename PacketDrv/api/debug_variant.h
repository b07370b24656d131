/*
 * Inside the trace facility: what the common part (debug.cpp) and the two variants
 * (debug_kernel.cpp, debug_user.cpp) offer each other. Nothing outside the facility includes it.
 *
 * Every buffer named here is the caller's: each trace call formats on its own stack, so calls on
 * several processors at once never share a buffer.
 */
#ifndef NVX_DEBUG_VARIANT_H
#define NVX_DEBUG_VARIANT_H

#include "debug.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Buffer sizes: a formatted message, a header line, a dump line (terminator included). */
#define DMSG_SIZE    1024
#define DHEADER_SIZE 100
#define DLINE_SIZE   256

/* Provided by the variant. */
void _dprint_header(void);   /* prints the header as one piece, when dheader is not empty */
void _output(const char *s); /* writes one piece of text unchanged */

/* Provided by the common part. */

/* Header, then the message formatted into a per-call buffer (cut at DMSG_SIZE - 1 characters). */
void _dvprintf(const char *fmt, va_list ap) NVX_PRINTF_LIKE(1, 0);

/*
 * The dump engine. offset is the value the address column starts from (the public operations
 * pass addr itself); leader is printed at the start of every line.
 */
void _dumpmem2(uintptr_t offset, const char *addr, int n, int flag, const char *leader,
               int linelen);

/*
 * Copies the current header name into name (at least sizeof dheader bytes) and returns its
 * length; 0 means no header. The name is read byte by byte with relaxed loads, so a concurrent
 * _dsetheader can at worst mix two names in one header.
 */
size_t _dheader_name(char *name);

/* Appends formatted text to the string in buf (size bytes in all); cuts, never overruns. */
void _dappendf(char *buf, size_t size, const char *fmt, ...) NVX_PRINTF_LIKE(3, 4);

#ifdef __cplusplus
}
#endif

#endif /* NVX_DEBUG_VARIANT_H */
