/*
 * Trace facility shared by the nvx kernel object and libnvxapi.
 *
 * Two variants share this interface: the kernel variant (built with _KERNEL) prints through the
 * kernel console; the user variant writes to a trace file (standard output until _dopen).
 *
 * Concurrency: the settings are plain module-wide words, read by every trace call and changed by
 * the switching operations without a lock. A caller that sees an old value merely prints or
 * omits one message. The words are read and written with relaxed atomic accesses so that such a
 * race is well defined. Formatting buffers belong to each call, so concurrent messages never
 * overwrite each other.
 */
#ifndef NVX_DEBUG_H
#define NVX_DEBUG_H

#ifndef _KERNEL
#include <stdio.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define NVX_PRINTF_LIKE(fmt, first) __attribute__((format(__printf__, fmt, first)))

/* Settings (one set per module). */
extern int debugging;     /* master switch; also usable as a set of bits */
extern int dcurrentLevel; /* value the level filter compares against */
extern int dlevelType;    /* 2: mask filtering; anything else: threshold filtering */
extern char dheader[80];  /* header name, at most 79 characters; empty: no header */
extern int dheader_flags; /* user variant: 1 process id, 2 date, 4 time */
#ifndef _KERNEL
extern FILE *dbgfp; /* user variant: the trace stream; NULL means standard output */
#endif

void _debug(int flag);
void _dbiton(int flags);
void _dbitoff(int flags);
void _dget_debug(int *pflag);
void _dsetheader(const char *h, int flags);
void _dsetlevel(int l, int t);
int _dlevel(int l);
void _dprintf(const char *fmt, ...) NVX_PRINTF_LIKE(1, 2);
void _dlprintf(int level, const char *fmt, ...) NVX_PRINTF_LIKE(2, 3);
void _dprintv(const char *fmt, ...) NVX_PRINTF_LIKE(1, 2);
void _dassert(const char *str, int line, const char *file);
void _dopen(const char *filename);
void _dclose(void);
void dumpmem(const char *addr, int n);
void _dumpmem(const char *addr, int n, int flag);
void _dldumpmem(int level, const char *addr, int n, int flag);

/* The master switch as a trace call reads it. */
static inline int _dtracing(void)
{
    return __atomic_load_n(&debugging, __ATOMIC_RELAXED);
}

/*
 * With tracing off a trace call costs one test of the switch and no call: the macros test it
 * before calling the function of the same name (a parenthesised name is not expanded again).
 */
#define _dprintf(...)   (_dtracing() ? (_dprintf)(__VA_ARGS__) : (void)0)
#define _dlprintf(...)  (_dtracing() ? (_dlprintf)(__VA_ARGS__) : (void)0)
#define _dldumpmem(...) (_dtracing() ? (_dldumpmem)(__VA_ARGS__) : (void)0)

#ifdef __cplusplus
}
#endif

#endif /* NVX_DEBUG_H */
