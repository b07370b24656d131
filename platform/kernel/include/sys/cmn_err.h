/*
 * Kernel console: cmn_err(9F), printf and panic as the kernel offers them.
 *
 * Kernel code (built with _KERNEL) calls printf and it reaches the console, as on the target;
 * the macro below routes it to the kernel's own printf. Lines go to the console log, which
 * tests read (platform/kernel/console_log.h).
 */
#ifndef _SYS_CMN_ERR_H
#define _SYS_CMN_ERR_H

#ifdef __cplusplus
#include <cstdio> /* before the printf macro, so that later includes of it are not disturbed */
extern "C" {
#else
#include <stdio.h>
#endif

#define CE_CONT   0 /* text exactly as given */
#define CE_NOTE   1 /* "NOTICE: " + text + newline */
#define CE_WARN   2 /* "WARNING: " + text + newline */
#define CE_PANIC  3 /* "panic: " + text + newline, then halts */
#define CE_IGNORE 4 /* nothing */

/*
 * cmn_err - display an error message or panic the system
 *
 * Description: formats the message and writes it to the console log. A leading '!' (log only),
 *   '^' (console only) or '?' (verbose boot only) marker is not printed.
 * Context: any (interrupt, callout, process); never sleeps.
 */
void cmn_err(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Kernel printf: cmn_err(CE_CONT, ...). */
void kprintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

/* panic: cmn_err(CE_PANIC, ...); does not return. */
void panic(const char *fmt, ...) __attribute__((format(printf, 1, 2), noreturn));

#ifdef __cplusplus
}
#endif

#ifdef _KERNEL
#define printf kprintf
#endif

#endif /* _SYS_CMN_ERR_H */
