/*
 * Exportable kernel memory and the platform's page geometry: ddi_umem_alloc(9F),
 * ddi_umem_free(9F), ptob/btop/btopr.
 *
 * The platform page is 8 KiB (as on the target), whatever the host's page size. A umem
 * allocation is a memory file mapped into the kernel; the mapping path hands the same file to a
 * user process (platform/kernel/umem_internal.h), so both see the same bytes at different
 * addresses.
 */
#ifndef _SYS_UMEM_H
#define _SYS_UMEM_H

#include <sys/ktypes.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PAGESHIFT  13
#define PAGESIZE   8192 /* 1 << PAGESHIFT */
#define PAGEOFFSET (PAGESIZE - 1)

/* Pages to bytes. */
static inline size_t ptob(size_t pages)
{
    return pages << PAGESHIFT;
}
/* Bytes to pages, truncating. */
static inline size_t btop(size_t bytes)
{
    return bytes >> PAGESHIFT;
}
/* Bytes to pages, rounding up. */
static inline size_t btopr(size_t bytes)
{
    return (bytes + PAGEOFFSET) >> PAGESHIFT;
}

/* The DDI spellings, which take the device (unused: one page size for every device). */
static inline unsigned long ddi_ptob(dev_info_t *dip, unsigned long pages)
{
    (void)dip;
    return pages << PAGESHIFT;
}
static inline unsigned long ddi_btop(dev_info_t *dip, unsigned long bytes)
{
    (void)dip;
    return bytes >> PAGESHIFT;
}
static inline unsigned long ddi_btopr(dev_info_t *dip, unsigned long bytes)
{
    (void)dip;
    return (bytes + PAGEOFFSET) >> PAGESHIFT;
}

#define DDI_UMEM_SLEEP    0x00 /* may sleep; never fails */
#define DDI_UMEM_NOSLEEP  0x01 /* never sleeps; may return NULL */
#define DDI_UMEM_PAGEABLE 0x02 /* pageable memory (accepted; all memory behaves alike here) */
#define DDI_UMEM_TRASH    0x04 /* accepted */

/* Handle of one umem allocation (opaque to drivers). */
typedef struct ddi_umem_cookie *ddi_umem_cookie_t;

/*
 * ddi_umem_alloc - allocate page-aligned kernel memory that can be exported to user space
 *
 * Description: size is rounded up to a multiple of PAGESIZE; the memory is zero-filled and
 *   page-aligned.
 * Parameters: size - bytes (0 returns NULL); flag - DDI_UMEM_SLEEP or DDI_UMEM_NOSLEEP, other
 *   bits accepted; cookiep - receives the handle for ddi_umem_free and devmap_umem_setup.
 * Context: DDI_UMEM_SLEEP from process context only; DDI_UMEM_NOSLEEP from any context.
 * Return values: the kernel address; NULL (and *cookiep NULL) on failure or size 0.
 */
void *ddi_umem_alloc(size_t size, int flag, ddi_umem_cookie_t *cookiep);

/* ddi_umem_free - free a whole umem allocation; NULL is ignored. Context: any. */
void ddi_umem_free(ddi_umem_cookie_t cookie);

#ifdef __cplusplus
}
#endif

#endif /* _SYS_UMEM_H */
