/*
 * Kernel memory allocator: kmem_alloc(9F), kmem_zalloc(9F), kmem_free(9F).
 *
 * Every allocation is accounted (platform/kernel/accounting.h): a free of a block that is not
 * live, or with a size other than the allocated one, panics. KM_NOSLEEP allocations can be made
 * to fail on demand (platform/kernel/faults.h).
 */
#ifndef _SYS_KMEM_H
#define _SYS_KMEM_H

#include <sys/ktypes.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KM_SLEEP   0 /* may sleep; never fails */
#define KM_NOSLEEP 1 /* never sleeps; may return NULL */

/*
 * kmem_alloc - allocate kernel memory
 *
 * Description: returns at least size bytes, aligned for any scalar, not zeroed.
 * Parameters: size - bytes wanted (0 returns NULL); flag - KM_SLEEP or KM_NOSLEEP.
 * Context: KM_SLEEP from process context only; KM_NOSLEEP from any context.
 * Return values: the memory; NULL only with KM_NOSLEEP (or size 0).
 */
void *kmem_alloc(size_t size, int flag);

/* kmem_zalloc - as kmem_alloc, zero-filled. */
void *kmem_zalloc(size_t size, int flag);

/*
 * kmem_free - free kernel memory
 *
 * Parameters: buf - from kmem_alloc/kmem_zalloc (NULL is ignored); size - the size it was
 *   allocated with (checked: a mismatch panics).
 * Context: any.
 */
void kmem_free(void *buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_KMEM_H */
