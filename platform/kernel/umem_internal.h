/*
 * What the platform's mapping path needs of a umem allocation: the memory file that backs it,
 * so devmap_umem_setup can hand the same pages to a user process.
 */
#ifndef NVX_PLATFORM_UMEM_INTERNAL_H
#define NVX_PLATFORM_UMEM_INTERNAL_H

#include <sys/umem.h>

#include <cstddef>

namespace platform::umem
{

struct Backing {
    int memfd = -1;        // the memory file; owned by the cookie (do not close it)
    void *kaddr = nullptr; // the kernel's mapping
    std::size_t size = 0;  // bytes, a multiple of PAGESIZE
};

// The backing of a live cookie; panics for a cookie that is not a live umem allocation.
Backing backing(ddi_umem_cookie_t cookie);

// The live cookie whose kernel mapping contains kaddr, or nullptr.
ddi_umem_cookie_t find(const void *kaddr);

} // namespace platform::umem

#endif
