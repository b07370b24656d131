/*
 * STREAMS message calls: allocb, freeb, freemsg, dupb, dupmsg, copyb, copymsg, msgdsize,
 * pullupmsg, linkb, unlinkb.
 *
 * Context: any (interrupt, callout, process); none of them sleeps or makes a system call on
 * the common path (objects come from the calling thread's cache, block_cache.cpp).
 *
 * Ownership checks: every mblk this file makes is preceded by a state word, set live when the
 * block is handed out and free when it is freed (compare-and-swap, so two racing frees of one
 * block are caught too). A call given a block whose word is not live panics: a double free or
 * a block that never came from allocb. A block freed and already reused cannot be told from a
 * live one; in debug and sanitizer builds freed memory is poisoned so such use shows quickly.
 *
 * db_ref is changed with atomic operations: duplicates of one data block may be freed on
 * different threads at the same time.
 */
#include <sys/cmn_err.h>
#include <sys/stream.h>

#include "../faults.h"
#include "block_cache.h"

#include <algorithm>
#include <atomic>
#include <cstring>

using namespace platform::messages;

namespace
{

std::atomic_ref<unsigned char> ref_of(dblk_t *db)
{
    return std::atomic_ref<unsigned char>(db->db_ref);
}

// Panics unless mp is a live message block made here.
void check_live(mblk_t *mp, const char *call)
{
    if (mp == nullptr)
        panic("%s: NULL message block", call);
    if (reinterpret_cast<std::uintptr_t>(mp) % 16 != 0)
        panic("%s: %p is not a message block", call, static_cast<void *>(mp));
    std::uint32_t state = header_of(mp)->state.load(std::memory_order_acquire);
    if (state == kBlockFree)
        panic("%s: message block %p already freed", call, static_cast<void *>(mp));
    if (state != kBlockLive)
        panic("%s: %p is not a message block", call, static_cast<void *>(mp));
}

void init_mblk(mblk_t *mp, dblk_t *db, unsigned char *rptr, unsigned char *wptr)
{
    mp->b_next = nullptr;
    mp->b_prev = nullptr;
    mp->b_cont = nullptr;
    mp->b_rptr = rptr;
    mp->b_wptr = wptr;
    mp->b_datap = db;
    mp->b_band = 0;
    mp->b_tag = 0;
    mp->b_flag = 0;
    mp->b_queue = nullptr;
}

// A data object whose dblk is set up (db_ref 1, the given type) and held. The own mblk is not
// yet live.
BlockHeader *new_data(std::size_t size, unsigned char type)
{
    BlockHeader *h = take_data_object(size);
    if (h == nullptr)
        return nullptr;
    dblk_t *db = own_dblk(h);
    db->db_frtnp = nullptr;
    db->db_base = buffer_of(h);
    db->db_lim = buffer_of(h) + h->capacity;
    db->db_ref = 1;
    db->db_type = type;
    db->db_flags = 0;
    db->db_struioflag = 0;
    db->db_platform = h;
    h->holds.store(1, std::memory_order_relaxed);
    return h;
}

// Hand out the own mblk of a data object made by new_data.
mblk_t *hand_out_own(BlockHeader *h)
{
    h->holds.fetch_add(1, std::memory_order_relaxed); // not yet shared: relaxed is enough
    mblk_t *mp = own_mblk(h);
    dblk_t *db = own_dblk(h);
    init_mblk(mp, db, db->db_base, db->db_base);
    // Release: a thread that later checks this block's state sees it initialised.
    h->state.store(kBlockLive, std::memory_order_release);
    count_allocated();
    return mp;
}

void drop_hold(BlockHeader *h)
{
    // Acq_rel: the last holder must see every other holder's writes before recycling.
    if (h->holds.fetch_sub(1, std::memory_order_acq_rel) == 1)
        give_back(h);
}

// mp no longer refers to db.
void drop_dblk_ref(dblk_t *db)
{
    unsigned char before = ref_of(db).fetch_sub(1, std::memory_order_acq_rel);
    if (before == 0)
        panic("freeb: data block %p has no references", static_cast<void *>(db));
    if (before == 1)
        drop_hold(object_of(db));
}

bool aligned(const unsigned char *p)
{
    return reinterpret_cast<std::uintptr_t>(p) % sizeof(long) == 0;
}

} // namespace

extern "C" mblk_t *allocb(size_t size, uint_t)
{
    if (platform::faults::should_fail(platform::faults::Kind::allocb))
        return nullptr;
    BlockHeader *h = new_data(size, M_DATA);
    return h != nullptr ? hand_out_own(h) : nullptr;
}

extern "C" void freeb(mblk_t *mp)
{
    check_live(mp, "freeb");
    BlockHeader *h = header_of(mp);
    std::uint32_t expected = kBlockLive;
    if (!h->state.compare_exchange_strong(expected, kBlockFree, std::memory_order_acq_rel))
        panic("freeb: message block %p already freed", static_cast<void *>(mp));
    count_freed();
    dblk_t *db = mp->b_datap;
    if (h->cls == kMblkOnly) {
        give_back(h);
        drop_dblk_ref(db);
        return;
    }
    // Common case: the block's own data block, not shared. Nobody else can reach either, so
    // the object is recycled without touching the counters.
    if (object_of(db) == h && ref_of(db).load(std::memory_order_acquire) == 1) {
        give_back(h);
        return;
    }
    drop_dblk_ref(db);
    drop_hold(h);
}

extern "C" void freemsg(mblk_t *mp)
{
    while (mp != nullptr) {
        mblk_t *next = mp->b_cont;
        freeb(mp);
        mp = next;
    }
}

extern "C" mblk_t *dupb(mblk_t *bp)
{
    check_live(bp, "dupb");
    dblk_t *db = bp->b_datap;
    unsigned char ref = ref_of(db).load(std::memory_order_relaxed);
    do {
        if (ref == 255) // DBLK_REFMAX
            return nullptr;
    } while (!ref_of(db).compare_exchange_weak(ref, static_cast<unsigned char>(ref + 1),
                                               std::memory_order_relaxed));
    BlockHeader *h = nullptr;
    if (!platform::faults::should_fail(platform::faults::Kind::allocb))
        h = take_mblk_object();
    if (h == nullptr) {
        drop_dblk_ref(db);
        return nullptr;
    }
    mblk_t *mp = own_mblk(h);
    init_mblk(mp, db, bp->b_rptr, bp->b_wptr);
    mp->b_band = bp->b_band;
    mp->b_flag = bp->b_flag;
    h->state.store(kBlockLive, std::memory_order_release);
    count_allocated();
    return mp;
}

extern "C" mblk_t *dupmsg(mblk_t *mp)
{
    mblk_t *head = nullptr, **link = &head;
    for (; mp != nullptr; mp = mp->b_cont) {
        mblk_t *d = dupb(mp);
        if (d == nullptr) {
            freemsg(head);
            return nullptr;
        }
        *link = d;
        link = &d->b_cont;
    }
    return head;
}

extern "C" mblk_t *copyb(mblk_t *bp)
{
    check_live(bp, "copyb");
    if (platform::faults::should_fail(platform::faults::Kind::allocb))
        return nullptr;
    dblk_t *src = bp->b_datap;
    BlockHeader *h = new_data(static_cast<std::size_t>(src->db_lim - src->db_base), src->db_type);
    if (h == nullptr)
        return nullptr;
    mblk_t *mp = hand_out_own(h);
    std::size_t offset = static_cast<std::size_t>(bp->b_rptr - src->db_base);
    std::size_t len = static_cast<std::size_t>(bp->b_wptr - bp->b_rptr);
    mp->b_rptr = mp->b_datap->db_base + offset;
    mp->b_wptr = mp->b_rptr + len;
    if (len > 0)
        std::memcpy(mp->b_rptr, bp->b_rptr, len);
    mp->b_band = bp->b_band;
    mp->b_flag = bp->b_flag;
    return mp;
}

extern "C" mblk_t *copymsg(mblk_t *mp)
{
    mblk_t *head = nullptr, **link = &head;
    for (; mp != nullptr; mp = mp->b_cont) {
        mblk_t *c = copyb(mp);
        if (c == nullptr) {
            freemsg(head);
            return nullptr;
        }
        *link = c;
        link = &c->b_cont;
    }
    return head;
}

extern "C" size_t msgdsize(mblk_t *mp)
{
    size_t n = 0;
    for (; mp != nullptr; mp = mp->b_cont)
        if (mp->b_datap->db_type == M_DATA && mp->b_wptr > mp->b_rptr)
            n += static_cast<size_t>(mp->b_wptr - mp->b_rptr);
    return n;
}

extern "C" int pullupmsg(mblk_t *mp, ssize_t len)
{
    check_live(mp, "pullupmsg");
    unsigned char type = mp->b_datap->db_type;
    std::size_t first = static_cast<std::size_t>(MBLKL(mp));
    std::size_t available = 0;
    for (mblk_t *b = mp; b != nullptr && b->b_datap->db_type == type; b = b->b_cont)
        available += static_cast<std::size_t>(MBLKL(b));
    std::size_t want;
    if (len == -1)
        want = available;
    else if (len < 0)
        return 0;
    else
        want = static_cast<std::size_t>(len);
    if (want > available)
        return 0;
    if (first >= want && aligned(mp->b_rptr))
        return 1;

    // The new buffer takes all of the first block (so none of it is lost when it already held
    // enough bytes but was misaligned) and the rest of the wanted bytes from the blocks after.
    std::size_t size = std::max(want, first);
    if (platform::faults::should_fail(platform::faults::Kind::allocb))
        return 0;
    BlockHeader *h = new_data(size, type);
    if (h == nullptr)
        return 0;
    dblk_t *db = own_dblk(h);
    unsigned char *out = db->db_base;
    std::memcpy(out, mp->b_rptr, first);
    out += first;
    std::size_t still = size - first;
    mblk_t *rest = mp->b_cont;
    while (still > 0) {
        std::size_t take = std::min(still, static_cast<std::size_t>(MBLKL(rest)));
        std::memcpy(out, rest->b_rptr, take);
        out += take;
        still -= take;
        rest->b_rptr += take;
        if (rest->b_rptr == rest->b_wptr) {
            mblk_t *next = rest->b_cont;
            freeb(rest);
            rest = next;
        }
    }
    // Also absorb empty blocks of the same type that now lead the remainder.
    while (rest != nullptr && rest->b_datap->db_type == type && MBLKL(rest) == 0 && len == -1) {
        mblk_t *next = rest->b_cont;
        freeb(rest);
        rest = next;
    }
    drop_dblk_ref(mp->b_datap);
    mp->b_datap = db;
    mp->b_rptr = db->db_base;
    mp->b_wptr = db->db_base + size;
    mp->b_cont = rest;
    return 1;
}

extern "C" void linkb(mblk_t *mp1, mblk_t *mp2)
{
    while (mp1->b_cont != nullptr)
        mp1 = mp1->b_cont;
    mp1->b_cont = mp2;
}

extern "C" mblk_t *unlinkb(mblk_t *mp)
{
    mblk_t *next = mp->b_cont;
    mp->b_cont = nullptr;
    return next;
}
