/*
 * ddi_umem_alloc / ddi_umem_free: each allocation is a memory file (memfd) of a whole number of
 * platform pages, mapped shared into the kernel at an 8 KiB-aligned address. The file is
 * zero-filled by construction; the mapping path maps the same file into the user process.
 *
 * Live cookies are kept in a set so that a bad or stale cookie panics rather than unmapping
 * something else. Allocation is not a per-frame path; the set's lock is fine.
 */
#include "umem_internal.h"

#include <sys/cmn_err.h>
#include <sys/mman.h>
#include <unistd.h>

#include "accounting_internal.h"
#include "faults.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

struct ddi_umem_cookie {
    int memfd;
    void *kaddr;
    std::size_t size;
};

namespace
{

struct Registry {
    std::mutex lock;
    std::set<ddi_umem_cookie *> live; // guarded by lock
    std::uint64_t bytes = 0;          // guarded by lock
};

Registry &registry()
{
    static Registry *r = new Registry; // never destroyed: frees may run during exit
    return *r;
}

// Maps fd (size bytes) shared at a PAGESIZE-aligned address: reserve a little more address
// space, place the file inside it at the first aligned address, give the rest back.
void *map_aligned(int fd, std::size_t size)
{
    std::size_t span = size + PAGESIZE;
    void *area = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED)
        return nullptr;
    auto base = reinterpret_cast<std::uintptr_t>(area);
    std::uintptr_t aligned = (base + PAGEOFFSET) & ~static_cast<std::uintptr_t>(PAGEOFFSET);
    void *at = reinterpret_cast<void *>(aligned);
    void *mapped = mmap(at, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    if (mapped == MAP_FAILED) {
        munmap(area, span);
        return nullptr;
    }
    if (aligned > base)
        munmap(area, aligned - base);
    std::uintptr_t end = aligned + size, area_end = base + span;
    if (area_end > end)
        munmap(reinterpret_cast<void *>(end), area_end - end);
    return mapped;
}

} // namespace

extern "C" void *ddi_umem_alloc(size_t size, int flag, ddi_umem_cookie_t *cookiep)
{
    if (cookiep == nullptr)
        panic("ddi_umem_alloc: NULL cookie pointer");
    *cookiep = nullptr;
    if (size == 0)
        return nullptr;
    bool nosleep = (flag & DDI_UMEM_NOSLEEP) != 0;
    if (platform::faults::should_fail(platform::faults::Kind::umem))
        return nullptr;
    if (size > SIZE_MAX - 2 * PAGESIZE) {
        if (nosleep)
            return nullptr;
        panic("ddi_umem_alloc: impossible size %zu", size);
    }
    std::size_t rounded = ptob(btopr(size));
    int fd = memfd_create("nvx-umem", MFD_CLOEXEC);
    void *kaddr = nullptr;
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(rounded)) == 0)
        kaddr = map_aligned(fd, rounded);
    if (kaddr == nullptr) {
        int err = errno;
        if (fd >= 0)
            close(fd);
        if (nosleep)
            return nullptr;
        panic("ddi_umem_alloc: cannot allocate %zu bytes: %s", rounded, std::strerror(err));
    }
    auto *cookie = new ddi_umem_cookie{fd, kaddr, rounded};
    Registry &r = registry();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        r.live.insert(cookie);
        r.bytes += rounded;
    }
    *cookiep = cookie;
    return kaddr;
}

extern "C" void ddi_umem_free(ddi_umem_cookie_t cookie)
{
    if (cookie == nullptr)
        return;
    Registry &r = registry();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        if (r.live.erase(cookie) == 0)
            panic("ddi_umem_free: %p is not a live umem cookie", static_cast<void *>(cookie));
        r.bytes -= cookie->size;
    }
    munmap(cookie->kaddr, cookie->size);
    close(cookie->memfd);
    delete cookie;
}

namespace platform::umem
{

Backing backing(ddi_umem_cookie_t cookie)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (cookie == nullptr || r.live.count(cookie) == 0)
        panic("umem: %p is not a live umem cookie", static_cast<void *>(cookie));
    return Backing{cookie->memfd, cookie->kaddr, cookie->size};
}

ddi_umem_cookie_t find(const void *kaddr)
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    auto p = reinterpret_cast<std::uintptr_t>(kaddr);
    for (ddi_umem_cookie *c : r.live) {
        auto base = reinterpret_cast<std::uintptr_t>(c->kaddr);
        if (p >= base && p < base + c->size)
            return c;
    }
    return nullptr;
}

} // namespace platform::umem

namespace platform::accounting
{
LiveTotals umem_totals()
{
    Registry &r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return {r.live.size(), r.bytes};
}
} // namespace platform::accounting
