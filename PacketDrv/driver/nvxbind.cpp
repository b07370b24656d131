/*
 * The binding list: every device stream from its open, and every module instance while it is
 * bound to an adapter (BIND_BOUND), in order of insertion. BindingList is the head,
 * CurrentBinding the tail. The open module list (OpenModules): every module instance from its
 * open to its close, whether bound or not; it tells the capture engine whether the queues a
 * held frame was taken on still exist.
 *
 * Locks: nvx_bindlock (writer) around every change of the links. The callers hold no driver
 * lock (nvx_rwlock comes before nvx_bindlock, so taking it here under nvx_rwlock would be
 * allowed, but the callers release it first so that a writer on nvx_rwlock is never kept
 * waiting behind the list).
 */
#include "nvxbind.h"

#include "debug.h" /* before sys/cmn_err.h, whose printf macro would rename its format attribute */
#include <sys/cmn_err.h>

static inline unsigned long ul(const void *p)
{
    return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

void add_binding(BindingInfo *bip)
{
    rw_enter(&nvx_bindlock, RW_WRITER);
    add_binding_locked(bip);
    rw_exit(&nvx_bindlock);
}

void add_binding_locked(BindingInfo *bip)
{
    _dlprintf(16, "add_binding - 0x%lx, ppaname=%s, gip=0x%lx, index=%d\n", ul(bip), bip->ppaname,
              ul(bip->openInfo), static_cast<int>(bip->index));

    if (BindingList == nullptr)
        BindingList = bip;
    if (CurrentBinding != nullptr)
        CurrentBinding->next = bip;
    bip->prev = CurrentBinding;
    bip->next = nullptr;
    CurrentBinding = bip;
}

void remove_binding(BindingInfo *bip)
{
    rw_enter(&nvx_bindlock, RW_WRITER);
    const int removed = remove_binding_locked(bip);
    rw_exit(&nvx_bindlock);
    if (!removed)
        printf("Warning: Binding %lx dip %lx not on list!\n", ul(bip), ul(bip->dip));
}

int remove_binding_locked(BindingInfo *bip)
{
    _dlprintf(16, "remove_binding: 0x%lx:%s\n", ul(bip), bip->ppaname);

    BindingInfo *cur = BindingList;
    while (cur != nullptr && cur != bip)
        cur = cur->next;
    if (cur == nullptr)
        return 0;

    if (bip->prev != nullptr)
        bip->prev->next = bip->next;
    else
        BindingList = bip->next;
    if (bip->next != nullptr)
        bip->next->prev = bip->prev;
    else
        CurrentBinding = bip->prev;
    if (BindingList == nullptr)
        CurrentBinding = nullptr;
    bip->prev = nullptr;
    bip->next = nullptr;
    return 1;
}

void add_open_module_locked(BindingInfo *bip)
{
    bip->openPrev = nullptr;
    bip->openNext = OpenModules;
    if (OpenModules != nullptr)
        OpenModules->openPrev = bip;
    OpenModules = bip;
}

void remove_open_module_locked(BindingInfo *bip)
{
    BindingInfo *cur = OpenModules;
    while (cur != nullptr && cur != bip)
        cur = cur->openNext;
    if (cur == nullptr)
        return;
    if (bip->openPrev != nullptr)
        bip->openPrev->openNext = bip->openNext;
    else
        OpenModules = bip->openNext;
    if (bip->openNext != nullptr)
        bip->openNext->openPrev = bip->openPrev;
    bip->openPrev = nullptr;
    bip->openNext = nullptr;
}

static int owns(const BindingInfo *b, const queue_t *q, const BindingInfo *bip)
{
    return (bip == nullptr || b == bip) && (b->rdq == q || b->wrq == q);
}

BindingInfo *find_open_binding_locked(queue_t *q, BindingInfo *bip)
{
    for (BindingInfo *b = OpenModules; b != nullptr; b = b->openNext)
        if (owns(b, q, bip))
            return b;
    for (BindingInfo *b = BindingList; b != nullptr; b = b->next)
        if (owns(b, q, bip))
            return b;
    return nullptr;
}

BindingInfo *find_open_binding(queue_t *q, BindingInfo *bip)
{
    rw_enter(&nvx_bindlock, RW_READER);
    BindingInfo *found = find_open_binding_locked(q, bip);
    rw_exit(&nvx_bindlock);
    return found;
}
