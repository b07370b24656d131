/*
 * The process behind the current request, as a driver sees it: ddi_get_pid(9F), drv_priv(9F).
 *
 * A request runs in the requesting process's context (its stream's host thread); put
 * procedures called from a NIC receive thread and callouts run in no process context.
 */
#ifndef _SYS_KPROC_H
#define _SYS_KPROC_H

#include <sys/ktypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * ddi_get_pid - process id of the current process context
 * Context: any. Return values: the pid; 0 in interrupt or callout context.
 */
pid_t ddi_get_pid(void);

/*
 * ddi_get_cred - credentials of the current process context
 * Context: any. Return values: the credentials; NULL in interrupt or callout context.
 */
cred_t *ddi_get_cred(void);

/*
 * drv_priv - is the caller privileged?
 * Parameters: cr - credentials (from the open routine or ioc_cr); NULL is not privileged.
 * Return values: 0 if the effective user id is 0, EPERM otherwise.
 */
int drv_priv(cred_t *cr);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_KPROC_H */
