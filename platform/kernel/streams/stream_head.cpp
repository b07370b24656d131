/*
 * Stream heads: open (normal, clone, re-open) with autopush, push/pop, I_STR ioctls, putmsg,
 * getmsg/read, the mapping path, close, and the head's read put procedure.
 *
 * Contexts: every StreamFile request runs in the caller's thread with the file's process
 * context set; the head's read put procedure (head_rput) runs in whatever thread sends a
 * message up (a NIC thread is interrupt context) and only takes the head lock briefly.
 *
 * Lock order: plumb -> registry -> head lock. No driver or module routine is called with the
 * registry mutex or the head lock held; open/close/push/pop routines run under plumb.
 */
#include "stream_head.h"

#include "autopush.h"
#include "devmap.h"
#include "queue_pair.h"
#include "registry.h"
#include "stream.h"

#include "proc.h"
#include "umem_internal.h"

#include <sys/cmn_err.h>
#include <sys/sunddi.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace platform::streams
{

namespace
{

constexpr size_t kMaxPush = 9;    // modules per stream (nstrpush)
constexpr int kMaxControl = 1024; // bytes of a control part (strctlsz)
using Clock = std::chrono::steady_clock;

int head_rput(queue_t *q, mblk_t *mp);
int head_wput(queue_t *q, mblk_t *mp)
{
    putnext(q, mp);
    return 0;
}

struct module_info head_minfo = {
    0,         /* mi_idnum */
    "strhead", /* mi_idname */
    0,         /* mi_minpsz */
    INFPSZ,    /* mi_maxpsz */
    STRHIGH,   /* mi_hiwat */
    STRLOW,    /* mi_lowat */
};

size_t message_bytes(mblk_t *mp)
{
    size_t n = 0;
    for (mblk_t *b = mp; b; b = b->b_cont)
        n += static_cast<size_t>(MBLKL(b));
    return n;
}

bool counted(mblk_t *mp)
{
    return queclass(mp) == QNORM;
}

// Head lock held. Adds mp to the read side in priority order.
void head_enqueue_locked(stdata *sd, mblk_t *mp)
{
    queue_t *rq = sd->rq();
    if (queclass(mp) == QPCTL) {
        auto it = std::find_if(sd->rmsgs.begin(), sd->rmsgs.end(),
                               [](mblk_t *m) { return queclass(m) != QPCTL; });
        sd->rmsgs.insert(it, mp);
    } else {
        sd->rmsgs.push_back(mp);
        rq->q_count += message_bytes(mp);
        if (rq->q_count >= rq->q_hiwat)
            set_flags(rq, QFULL);
    }
    ++sd->received;
}

// Head lock held. Accounts for mp having left the read side; true if a writer below waits
// to be back-enabled.
bool head_dequeued_locked(stdata *sd, mblk_t *mp)
{
    queue_t *rq = sd->rq();
    if (counted(mp)) {
        size_t n = message_bytes(mp);
        rq->q_count = n > rq->q_count ? 0 : rq->q_count - n;
    }
    if (rq->q_count < rq->q_hiwat)
        clear_flags(rq, QFULL);
    uint_t f = load_flags(rq);
    if ((f & QWANTW) && rq->q_count <= rq->q_lowat) {
        clear_flags(rq, QWANTW);
        return true;
    }
    return false;
}

// Head lock held: frees data messages waiting at the head (all with `all`).
bool head_flush_locked(stdata *sd, bool all, std::vector<mblk_t *> *dead)
{
    bool wake = false;
    for (auto it = sd->rmsgs.begin(); it != sd->rmsgs.end();) {
        mblk_t *mp = *it;
        if (all || datamsg(mp->b_datap->db_type)) {
            it = sd->rmsgs.erase(it);
            wake |= head_dequeued_locked(sd, mp);
            dead->push_back(mp);
        } else {
            ++it;
        }
    }
    return wake;
}

/*
 * head_rput - read put procedure of the stream head: messages arriving from below
 * Context: any (a NIC receive thread is interrupt context); takes the head lock briefly.
 * Data messages are kept for getmsg/read; M_IOCACK/M_IOCNAK answer the waiting ioctl (stale
 * ones are freed); M_FLUSH is handled canonically (FLUSHW turned around downstream); M_ERROR and
 * M_HANGUP set the stream's state; an M_IOCTL coming up is refused with M_IOCNAK.
 */
int head_rput(queue_t *q, mblk_t *mp)
{
    stdata *sd = q->q_stream;
    switch (mp->b_datap->db_type) {
    case M_DATA:
    case M_PROTO:
    case M_PCPROTO: {
        std::lock_guard<std::mutex> g(sd->head_lock());
        head_enqueue_locked(sd, mp);
        sd->wait.notify_all();
        return 0;
    }
    case M_FLUSH: {
        unsigned char flags = MBLKL(mp) > 0 ? *mp->b_rptr : 0;
        if (flags & FLUSHR) {
            std::vector<mblk_t *> dead;
            bool wake;
            {
                std::lock_guard<std::mutex> g(sd->head_lock());
                wake = head_flush_locked(sd, false, &dead);
            }
            for (mblk_t *d : dead)
                freemsg(d);
            if (wake)
                back_enable(q);
        }
        if (flags & FLUSHW) {
            *mp->b_rptr = static_cast<unsigned char>(flags & ~FLUSHR);
            qreply(q, mp);
        } else {
            freemsg(mp);
        }
        return 0;
    }
    case M_IOCACK:
    case M_IOCNAK:
    case M_COPYIN:
    case M_COPYOUT: {
        if (MBLKL(mp) >= static_cast<ptrdiff_t>(sizeof(struct iocblk))) {
            struct iocblk ioc;
            memcpy(&ioc, mp->b_rptr, sizeof ioc);
            std::lock_guard<std::mutex> g(sd->head_lock());
            if (sd->ioc_id != 0 && ioc.ioc_id == sd->ioc_id && !sd->ioc_reply && !sd->ioc_failed) {
                if (mp->b_datap->db_type == M_COPYIN || mp->b_datap->db_type == M_COPYOUT) {
                    // I_STR carries its data with it; a copy request cannot be served here.
                    sd->ioc_failed = true;
                    sd->wait.notify_all();
                } else {
                    sd->ioc_reply = mp;
                    sd->wait.notify_all();
                    return 0;
                }
            }
        }
        freemsg(mp); // stale: its ioctl is over (timed out, interrupted) or never was ours
        return 0;
    }
    case M_ERROR: {
        std::lock_guard<std::mutex> g(sd->head_lock());
        if (MBLKL(mp) >= 2) {
            sd->read_error = mp->b_rptr[0];
            sd->write_error = mp->b_rptr[1];
        } else if (MBLKL(mp) == 1) {
            sd->read_error = sd->write_error = mp->b_rptr[0];
        }
        sd->wait.notify_all();
        break;
    }
    case M_HANGUP: {
        std::lock_guard<std::mutex> g(sd->head_lock());
        sd->hangup = true;
        sd->wait.notify_all();
        break;
    }
    case M_UNHANGUP: {
        std::lock_guard<std::mutex> g(sd->head_lock());
        sd->hangup = false;
        break;
    }
    case M_IOCTL:
        if (MBLKL(mp) >= static_cast<ptrdiff_t>(sizeof(struct iocblk))) {
            auto *ioc = reinterpret_cast<struct iocblk *>(mp->b_rptr);
            mp->b_datap->db_type = M_IOCNAK;
            ioc->ioc_error = EINVAL;
            ioc->ioc_count = 0;
            qreply(q, mp);
            return 0;
        }
        break;
    default:
        break; // M_SETOPTS, M_SIG, M_PCSIG and others: nothing to do at this head
    }
    freemsg(mp);
    return 0;
}

} // namespace

struct qinit head_rinit = {head_rput,   nullptr, nullptr, nullptr, nullptr,
                           &head_minfo, nullptr, nullptr, nullptr, 0};
struct qinit head_winit = {head_wput,   nullptr, nullptr, nullptr, nullptr,
                           &head_minfo, nullptr, nullptr, nullptr, 0};

void head_wake_writers(stdata *sd)
{
    std::lock_guard<std::mutex> g(sd->head_lock());
    sd->wait.notify_all();
}

// ---- plumbing ----

namespace
{

void flush_pair(QueuePair *p)
{
    flushq(&p->q[0], FLUSHALL);
    flushq(&p->q[1], FLUSHALL);
}

void release_module_use(struct fmodsw *sw)
{
    std::lock_guard<std::mutex> g(registry().m);
    auto it = registry().modules.find(sw->f_name);
    if (it != registry().modules.end() && it->second.sw == sw)
        --it->second.uses;
}

// Looks a module up by name and takes a use of it (loading it on demand).
struct fmodsw *take_module(const std::string &name)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        {
            std::lock_guard<std::mutex> g(registry().m);
            auto it = registry().modules.find(name);
            if (it != registry().modules.end()) {
                ++it->second.uses;
                return it->second.sw;
            }
        }
        if (attempt == 0 && !autoload(name))
            break;
    }
    return nullptr;
}

bool valid_module_name(const char *name)
{
    return name && name[0] && strnlen(name, FMNAMESZ + 1) <= FMNAMESZ;
}

// Plumb held. Pushes the module below the stream head; on failure the use is given back.
int push_locked(stdata *sd, struct fmodsw *sw, int oflag, cred_t *cr)
{
    struct streamtab *st = sw->f_str;
    QueuePair *p = alloc_pair(PairKind::module, st->st_rdinit, st->st_wrinit, sd);
    store_next(&p->q[1], load_next(sd->wq()));
    store_next(&p->q[0], sd->rq());
    dev_t dev = sd->dev;
    int err = 0;
    if (p->q[0].q_qinfo->qi_qopen)
        err = p->q[0].q_qinfo->qi_qopen(&p->q[0], &dev, oflag, MODOPEN, cr);
    if (err != 0) {
        pair_off(p);
        flush_pair(p);
        free_pair(p);
        release_module_use(sw);
        return err;
    }
    pair_on(p); // for open routines that forgot qprocson
    sd->modules.push_front(p);
    sd->module_sw.push_front(sw);
    return 0;
}

// Plumb held. Pops the topmost module: its queues flushed, its close, procedures off.
void pop_locked(stdata *sd, int oflag, cred_t *cr)
{
    QueuePair *p = sd->modules.front();
    struct fmodsw *sw = sd->module_sw.front();
    flush_pair(p);
    if (p->q[0].q_qinfo->qi_qclose)
        p->q[0].q_qinfo->qi_qclose(&p->q[0], oflag, cr);
    pair_off(p);
    flush_pair(p);
    sd->modules.pop_front();
    sd->module_sw.pop_front();
    free_pair(p);
    release_module_use(sw);
}

// Plumb held. Dismantles the stream from the top: modules, driver, then the head.
void dismantle_locked(stdata *sd, int oflag, cred_t *cr)
{
    std::vector<mblk_t *> dead;
    {
        std::lock_guard<std::mutex> g(sd->head_lock());
        head_flush_locked(sd, true, &dead);
    }
    for (mblk_t *mp : dead)
        freemsg(mp);
    while (!sd->modules.empty())
        pop_locked(sd, oflag, cr);
    if (QueuePair *d = sd->driver) {
        flush_pair(d);
        if (d->q[0].q_qinfo->qi_qclose)
            d->q[0].q_qinfo->qi_qclose(&d->q[0], oflag, cr);
        pair_off(d);
        flush_pair(d);
        free_pair(d);
        sd->driver = nullptr;
    }
    pair_off(sd->head); // waits for messages still being delivered to the head
    dead.clear();
    mblk_t *reply;
    {
        std::lock_guard<std::mutex> g(sd->head_lock());
        head_flush_locked(sd, true, &dead);
        reply = sd->ioc_reply;
        sd->ioc_reply = nullptr;
        sd->ioc_id = 0;
    }
    for (mblk_t *mp : dead)
        freemsg(mp);
    if (reply)
        freemsg(reply);
}

void drop_driver_use(Driver *d)
{
    std::lock_guard<std::mutex> g(registry().m);
    --d->streams;
}

// Registry held: forget sd in the device map.
void unregister_locked(stdata *sd)
{
    if (!sd->registered)
        return;
    auto it = registry().streams.find(sd->dev);
    if (it != registry().streams.end() && it->second.lock().get() == sd)
        registry().streams.erase(it);
    sd->registered = false;
}

// Frees a new stream's head after a failed open.
void discard_head(stdata *sd)
{
    pair_off(sd->head);
    free_pair(sd->head);
    sd->head = nullptr;
}

std::string driver_name_of(const std::string &path)
{
    std::string rest = path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
    return rest.substr(0, rest.find('/'));
}

} // namespace

// ---- files and requests ----

struct StreamFile::Context {
    Context(const Caller &c) : proc(c.pid, platform::proc::make_cred(c.uid, c.gid, c.pid)) {}
    platform::proc::Context proc;
    std::atomic<int> in_flight{0};
    std::atomic<bool> closed{false};
};

namespace
{

// One request of a file: its process context set, counted for close.
class Request
{
  public:
    Request(std::atomic<int> &in_flight, std::atomic<bool> &closed, platform::proc::Context *ctx)
        : in_flight_(in_flight), ctx_(ctx), scope_(ctx)
    {
        in_flight_.fetch_add(1, std::memory_order_acq_rel);
        ok_ = !closed.load(std::memory_order_acquire);
    }
    ~Request()
    {
        // A signal that arrived for this request has been taken by it.
        if (ctx_->signal_pending())
            ctx_->clear_signal();
        in_flight_.fetch_sub(1, std::memory_order_acq_rel);
    }
    bool ok() const { return ok_; }

  private:
    std::atomic<int> &in_flight_;
    platform::proc::Context *ctx_;
    platform::proc::ScopedContext scope_;
    bool ok_ = false;
};

#define NVX_REQUEST(r)                                                                             \
    Request r(ctx_->in_flight, ctx_->closed, &ctx_->proc);                                         \
    if (!r.ok())                                                                                   \
    return EBADF

// Waits on the head condition until pred() holds. Returns 0, EINTR (signal), ETIME (deadline)
// or EBADF (the file was closed).
template <class Pred>
int head_wait(stdata *sd, std::unique_lock<std::mutex> &lk, platform::proc::Context *ctx,
              const std::atomic<bool> &closed, const Clock::time_point *deadline, Pred pred)
{
    for (;;) {
        if (pred())
            return 0;
        if (closed.load(std::memory_order_acquire))
            return EBADF;
        if (ctx->signal_pending())
            return EINTR;
        if (deadline) {
            if (Clock::now() >= *deadline)
                return ETIME;
            sd->wait.wait_until(lk, *deadline);
        } else {
            // Bounded so that a signal raised without a notify is still seen.
            sd->wait.wait_for(lk, std::chrono::milliseconds(100));
        }
    }
}

} // namespace

int open(const std::string &path, int oflag, const Caller &caller, FilePtr *out)
{
    if (!out)
        return EINVAL;
    ensure_builtins();
    auto ctx = std::make_unique<StreamFile::Context>(caller);
    platform::proc::ScopedContext scope(&ctx->proc);
    cred_t *cr = ctx->proc.cred();

    MinorNode node;
    Driver *d = nullptr;
    std::shared_ptr<stdata> existing;
    for (int attempt = 0; attempt < 2 && !d; ++attempt) {
        {
            std::lock_guard<std::mutex> g(registry().m);
            auto it = registry().nodes.find(path);
            if (it != registry().nodes.end()) {
                node = it->second;
                d = node.driver;
                if (!d->attached || d->removing)
                    return ENXIO;
                struct cb_ops *cb = d->ops->devo_cb_ops;
                if (!cb || !cb->cb_str)
                    return ENOSTR;
                dev_t dev = makedevice(d->major, node.minor);
                if (!node.clone) {
                    auto s = registry().streams.find(dev);
                    if (s != registry().streams.end())
                        existing = s->second.lock();
                    if (existing && existing->closing)
                        existing.reset();
                }
                if (existing)
                    ++existing->opens;
                else
                    ++d->streams; // the new stream's use of the driver
                break;
            }
        }
        if (attempt == 0 && !autoload(driver_name_of(path)))
            return ENOENT;
    }
    if (!d)
        return ENOENT;

    if (existing) {
        // Re-open: every open routine runs again on the existing queues, nothing is pushed.
        std::shared_ptr<stdata> sd = existing;
        int err = 0;
        {
            std::lock_guard<std::mutex> g(sd->plumb);
            dev_t dev = sd->dev;
            for (QueuePair *m : sd->modules)
                if (!err && m->q[0].q_qinfo->qi_qopen)
                    err = m->q[0].q_qinfo->qi_qopen(&m->q[0], &dev, oflag, MODOPEN, cr);
            if (!err && sd->driver && sd->driver->q[0].q_qinfo->qi_qopen)
                err = sd->driver->q[0].q_qinfo->qi_qopen(&sd->driver->q[0], &dev, oflag, 0, cr);
        }
        auto f = FilePtr(new StreamFile(sd, oflag, caller));
        f->ctx_ = std::move(ctx);
        if (err) {
            f->close(); // gives back this open (and dismantles if it was the last)
            return err;
        }
        *out = std::move(f);
        return 0;
    }

    auto sd = std::make_shared<stdata>();
    sd->head = alloc_pair(PairKind::head, &head_rinit, &head_winit, sd.get());
    sd->head->on.store(true, std::memory_order_release); // the head takes messages at once
    sd->drv = d;
    sd->clone = node.clone;
    sd->dev = makedevice(d->major, node.minor);
    sd->opens = 1;
    struct streamtab *st = d->ops->devo_cb_ops->cb_str;
    QueuePair *dp = alloc_pair(PairKind::driver, st->st_rdinit, st->st_wrinit, sd.get());
    store_next(&dp->q[0], sd->rq());
    store_next(&dp->q[1], nullptr);
    int err = 0;
    {
        std::lock_guard<std::mutex> g(sd->plumb);
        dev_t dev = sd->dev;
        if (dp->q[0].q_qinfo->qi_qopen)
            err =
                dp->q[0].q_qinfo->qi_qopen(&dp->q[0], &dev, oflag, node.clone ? CLONEOPEN : 0, cr);
        if (err) {
            pair_off(dp);
            flush_pair(dp);
            free_pair(dp);
            discard_head(sd.get());
            drop_driver_use(d);
            return err;
        }
        pair_on(dp);
        sd->driver = dp;
        if (node.clone)
            sd->dev = dev; // the minor the driver chose
        {
            std::lock_guard<std::mutex> g2(registry().m);
            auto &slot = registry().streams[sd->dev];
            if (!slot.lock()) {
                slot = sd;
                sd->registered = true;
            }
        }
        // Autopush: the configured modules for the resulting minor, first one next to the
        // driver.
        for (const std::string &name :
             platform::sad::autopush_list(getmajor(sd->dev), getminor(sd->dev))) {
            struct fmodsw *sw = take_module(name);
            err = sw ? push_locked(sd.get(), sw, oflag, cr) : EINVAL;
            if (err)
                break;
        }
        if (err) {
            {
                std::lock_guard<std::mutex> g2(registry().m);
                sd->closing = true;
                unregister_locked(sd.get());
            }
            dismantle_locked(sd.get(), oflag, cr);
        }
    }
    if (err) {
        free_pair(sd->head);
        sd->head = nullptr;
        drop_driver_use(d);
        return err;
    }
    auto f = FilePtr(new StreamFile(sd, oflag, caller));
    f->ctx_ = std::move(ctx);
    *out = std::move(f);
    return 0;
}

StreamFile::StreamFile(std::shared_ptr<stdata> stream, int oflag, const Caller &caller)
    : stream_(std::move(stream)), oflag_(oflag), caller_(caller)
{
}

StreamFile::~StreamFile()
{
    close();
}

dev_t StreamFile::dev() const
{
    return stream_->dev;
}

int StreamFile::close()
{
    if (closed_ || !ctx_)
        return 0;
    closed_ = true;
    stdata *sd = stream_.get();
    // Requests of this file still running in other threads end (EBADF) before we go on.
    ctx_->closed.store(true, std::memory_order_release);
    while (ctx_->in_flight.load(std::memory_order_acquire) != 0) {
        {
            std::lock_guard<std::mutex> g(sd->head_lock());
            sd->wait.notify_all();
        }
        std::this_thread::yield();
    }
    platform::proc::ScopedContext scope(&ctx_->proc);
    bool last;
    {
        std::lock_guard<std::mutex> g(registry().m);
        last = --sd->opens == 0;
        if (last) {
            sd->closing = true;
            unregister_locked(sd);
        }
    }
    if (!last)
        return 0;
    {
        std::lock_guard<std::mutex> g(sd->plumb);
        dismantle_locked(sd, oflag_, ctx_->proc.cred());
    }
    free_pair(sd->head);
    sd->head = nullptr;
    drop_driver_use(sd->drv);
    return 0;
}

int StreamFile::ioctl_str(int cmd, int timout, const void *in, size_t in_len, void *out,
                          size_t out_cap, IoctlResult *res)
{
    NVX_REQUEST(req);
    if ((in_len && !in) || (out_cap && !out) || in_len > INT_MAX)
        return EINVAL;
    stdata *sd = stream_.get();
    std::lock_guard<std::mutex> serial(sd->ioctl_serial);
    {
        std::lock_guard<std::mutex> g(sd->head_lock());
        if (sd->write_error)
            return sd->write_error;
        if (sd->hangup)
            return ENXIO;
    }
    mblk_t *mp = allocb(sizeof(struct iocblk), BPRI_HI);
    if (!mp)
        return ENOSR;
    if (in_len) {
        mblk_t *data = allocb(in_len, BPRI_HI);
        if (!data) {
            freemsg(mp);
            return ENOSR;
        }
        memcpy(data->b_wptr, in, in_len);
        data->b_wptr += in_len;
        mp->b_cont = data;
    }
    static std::atomic<uint_t> next_id{0};
    uint_t id;
    do
        id = next_id.fetch_add(1, std::memory_order_relaxed) + 1;
    while (id == 0);
    struct iocblk ioc;
    memset(&ioc, 0, sizeof ioc);
    ioc.ioc_cmd = cmd;
    ioc.ioc_cr = ctx_->proc.cred();
    ioc.ioc_id = id;
    ioc.ioc_flag = caller_.model & IOC_MODELS;
    ioc.ioc_count = in_len;
    memcpy(mp->b_wptr, &ioc, sizeof ioc);
    mp->b_wptr += sizeof ioc;
    mp->b_datap->db_type = M_IOCTL;
    {
        std::lock_guard<std::mutex> g(sd->head_lock());
        sd->ioc_id = id;
        sd->ioc_reply = nullptr;
        sd->ioc_failed = false;
    }
    putnext(sd->wq(), mp);

    int seconds = timout == 0 ? kDefaultIoctlTimeoutSeconds : timout;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
    mblk_t *reply;
    int err;
    {
        std::unique_lock<std::mutex> lk(sd->head_lock());
        err = head_wait(sd, lk, &ctx_->proc, ctx_->closed, seconds > 0 ? &deadline : nullptr,
                        [&] { return sd->ioc_reply || sd->ioc_failed || sd->read_error; });
        reply = sd->ioc_reply;
        if (!err && !reply)
            err = sd->ioc_failed ? EINVAL : sd->read_error;
        sd->ioc_reply = nullptr;
        sd->ioc_failed = false;
        sd->ioc_id = 0; // a reply arriving from now on is stale
    }
    if (!reply)
        return err;
    struct iocblk r;
    memcpy(&r, reply->b_rptr, sizeof r);
    if (reply->b_datap->db_type == M_IOCNAK) {
        freemsg(reply);
        return r.ioc_error ? r.ioc_error : EINVAL;
    }
    if (r.ioc_error) {
        freemsg(reply);
        return r.ioc_error;
    }
    size_t want = std::min(r.ioc_count, out_cap), copied = 0;
    for (mblk_t *b = reply->b_cont; b && copied < want; b = b->b_cont) {
        size_t n = std::min(static_cast<size_t>(MBLKL(b)), want - copied);
        memcpy(static_cast<char *>(out) + copied, b->b_rptr, n);
        copied += n;
    }
    freemsg(reply);
    if (res) {
        res->rval = r.ioc_rval;
        res->len = copied;
    }
    return 0;
}

int StreamFile::push(const char *module)
{
    NVX_REQUEST(req);
    if (!valid_module_name(module))
        return EINVAL;
    stdata *sd = stream_.get();
    std::lock_guard<std::mutex> g(sd->plumb);
    if (sd->modules.size() >= kMaxPush)
        return EINVAL;
    struct fmodsw *sw = take_module(module);
    if (!sw)
        return EINVAL;
    return push_locked(sd, sw, oflag_, ctx_->proc.cred());
}

int StreamFile::pop()
{
    NVX_REQUEST(req);
    stdata *sd = stream_.get();
    std::lock_guard<std::mutex> g(sd->plumb);
    if (sd->modules.empty())
        return EINVAL;
    pop_locked(sd, oflag_, ctx_->proc.cred());
    return 0;
}

int StreamFile::list(std::vector<std::string> *names) const
{
    NVX_REQUEST(req);
    if (!names)
        return EINVAL;
    stdata *sd = stream_.get();
    std::lock_guard<std::mutex> g(sd->plumb);
    names->clear();
    for (struct fmodsw *sw : sd->module_sw)
        names->push_back(sw->f_name);
    struct module_info *mi = sd->driver ? sd->driver->q[0].q_qinfo->qi_minfo : nullptr;
    names->push_back(mi && mi->mi_idname ? mi->mi_idname : sd->drv->name);
    return 0;
}

int StreamFile::find(const char *module, bool *found) const
{
    NVX_REQUEST(req);
    if (!valid_module_name(module) || !found)
        return EINVAL;
    stdata *sd = stream_.get();
    std::lock_guard<std::mutex> g(sd->plumb);
    *found = std::any_of(sd->module_sw.begin(), sd->module_sw.end(),
                         [&](struct fmodsw *sw) { return strcmp(sw->f_name, module) == 0; });
    return 0;
}

int StreamFile::flush(int flags)
{
    NVX_REQUEST(req);
    if (flags & ~FLUSHRW || !flags)
        return EINVAL;
    stdata *sd = stream_.get();
    if (flags & FLUSHR) {
        std::vector<mblk_t *> dead;
        bool wake;
        {
            std::lock_guard<std::mutex> g(sd->head_lock());
            wake = head_flush_locked(sd, false, &dead);
        }
        for (mblk_t *mp : dead)
            freemsg(mp);
        if (wake)
            back_enable(sd->rq());
    }
    mblk_t *mp = allocb(1, BPRI_HI);
    if (!mp)
        return ENOSR;
    mp->b_datap->db_type = M_FLUSH;
    *mp->b_wptr++ = static_cast<unsigned char>(flags);
    putnext(sd->wq(), mp);
    return 0;
}

int StreamFile::putmsg(const struct strbuf *ctl, const struct strbuf *data, int flags)
{
    NVX_REQUEST(req);
    stdata *sd = stream_.get();
    if (flags != 0 && flags != RS_HIPRI)
        return EINVAL;
    bool has_ctl = ctl && ctl->len >= 0;
    bool has_data = data && data->len >= 0;
    if (flags == RS_HIPRI && !has_ctl)
        return EINVAL;
    if (!has_ctl && !has_data)
        return 0;
    if ((has_ctl && ctl->len > 0 && !ctl->buf) || (has_data && data->len > 0 && !data->buf))
        return EFAULT;
    if (has_ctl && ctl->len > kMaxControl)
        return ERANGE;
    if (has_data) {
        // Under plumb: the top queue cannot be popped (and its pair reused) while we read it.
        std::lock_guard<std::mutex> g(sd->plumb);
        queue_t *top = load_next(sd->wq());
        if (top &&
            ((top->q_maxpsz != INFPSZ && data->len > top->q_maxpsz) || data->len < top->q_minpsz))
            return ERANGE;
    }
    {
        std::unique_lock<std::mutex> lk(sd->head_lock());
        if (sd->write_error)
            return sd->write_error;
        if (sd->hangup)
            return ENXIO;
    }
    if (flags != RS_HIPRI) {
        // Flow control: wait (or fail at once when non-blocking) until the queue below drains.
        while (!canputnext(sd->wq())) {
            if (oflag_ & (FNDELAY | FNONBLOCK))
                return EAGAIN;
            std::unique_lock<std::mutex> lk(sd->head_lock());
            Clock::time_point soon = Clock::now() + std::chrono::milliseconds(10);
            int err = head_wait(sd, lk, &ctx_->proc, ctx_->closed, &soon, [] { return false; });
            if (err != ETIME)
                return err;
            if (sd->write_error)
                return sd->write_error;
        }
    }
    mblk_t *mp = nullptr, *dp = nullptr;
    if (has_ctl) {
        mp = allocb(static_cast<size_t>(ctl->len), BPRI_MED);
        if (!mp)
            return ENOSR;
        mp->b_datap->db_type = flags == RS_HIPRI ? M_PCPROTO : M_PROTO;
        if (ctl->len)
            memcpy(mp->b_wptr, ctl->buf, static_cast<size_t>(ctl->len));
        mp->b_wptr += ctl->len;
    }
    if (has_data) {
        dp = allocb(static_cast<size_t>(data->len), BPRI_MED);
        if (!dp) {
            if (mp)
                freemsg(mp);
            return ENOSR;
        }
        if (data->len)
            memcpy(dp->b_wptr, data->buf, static_cast<size_t>(data->len));
        dp->b_wptr += data->len;
        if (mp)
            mp->b_cont = dp;
        else
            mp = dp;
    }
    putnext(sd->wq(), mp);
    return 0;
}

int StreamFile::write(const void *buf, size_t len)
{
    if (len == 0)
        return 0;
    if (len > INT_MAX)
        return ERANGE;
    struct strbuf data = {0, static_cast<int>(len), static_cast<char *>(const_cast<void *>(buf))};
    return putmsg(nullptr, &data, 0);
}

namespace
{

// Copies up to `room` bytes from the blocks of mp that belong to one part (control blocks, or
// M_DATA blocks), consuming them. Returns the bytes copied; *rest tells whether bytes of that
// part are left.
size_t take_part(mblk_t **chain, bool control, char *buf, size_t room, bool *rest)
{
    size_t copied = 0;
    *rest = false;
    while (*chain && ((*chain)->b_datap->db_type != M_DATA) == control) {
        mblk_t *b = *chain;
        size_t n = std::min(static_cast<size_t>(MBLKL(b)), room - copied);
        if (n) {
            memcpy(buf + copied, b->b_rptr, n);
            b->b_rptr += n;
            copied += n;
        }
        if (MBLKL(b) > 0) {
            *rest = true;
            return copied;
        }
        *chain = b->b_cont;
        b->b_cont = nullptr;
        freeb(b);
    }
    return copied;
}

} // namespace

int StreamFile::getmsg(struct strbuf *ctl, struct strbuf *data, int *flagsp, int *more,
                       int timeout_ms)
{
    NVX_REQUEST(req);
    if (!flagsp || (*flagsp != 0 && *flagsp != RS_HIPRI))
        return EINVAL;
    stdata *sd = stream_.get();
    bool hipri_only = *flagsp == RS_HIPRI;
    if (oflag_ & (FNDELAY | FNONBLOCK))
        timeout_ms = 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    std::unique_lock<std::mutex> lk(sd->head_lock());
    auto ready = [&] {
        if (sd->read_error || sd->rmsgs.empty())
            return sd->read_error != 0 || (sd->hangup && sd->rmsgs.empty());
        return !hipri_only || queclass(sd->rmsgs.front()) == QPCTL;
    };
    int err = 0;
    if (timeout_ms == 0) {
        if (!ready())
            err = EAGAIN;
    } else {
        err = head_wait(sd, lk, &ctx_->proc, ctx_->closed, timeout_ms > 0 ? &deadline : nullptr,
                        ready);
    }
    if (err)
        return err;
    if (sd->read_error)
        return sd->read_error;
    if (more)
        *more = 0;
    if (sd->rmsgs.empty()) { // hung up: end of file
        if (ctl)
            ctl->len = -1;
        if (data)
            data->len = -1;
        *flagsp = 0;
        return 0;
    }
    mblk_t *mp = sd->rmsgs.front();
    sd->rmsgs.pop_front();
    bool wake = head_dequeued_locked(sd, mp);
    unsigned char type = mp->b_datap->db_type;
    *flagsp = type >= QPCTL ? RS_HIPRI : 0;
    bool has_ctl = type != M_DATA;
    int flags_more = 0;
    mblk_t *chain = mp;
    bool rest = false;
    if (ctl) {
        size_t room = ctl->maxlen > 0 ? static_cast<size_t>(ctl->maxlen) : 0;
        size_t n = has_ctl ? take_part(&chain, true, ctl->buf, ctl->buf ? room : 0, &rest) : 0;
        ctl->len = has_ctl ? static_cast<int>(n) : -1;
    } else if (has_ctl) {
        rest = true;
    }
    if (rest)
        flags_more |= MORECTL;
    if (!(flags_more & MORECTL)) {
        bool has_data = chain != nullptr;
        rest = false;
        if (data) {
            size_t room = data->maxlen > 0 ? static_cast<size_t>(data->maxlen) : 0;
            size_t n =
                has_data ? take_part(&chain, false, data->buf, data->buf ? room : 0, &rest) : 0;
            data->len = has_data ? static_cast<int>(n) : -1;
        } else if (has_data) {
            rest = true;
        }
        if (rest)
            flags_more |= MOREDATA;
    } else if (data) {
        data->len = -1;
    }
    if (chain) {
        // What did not fit stays first at the head for the next getmsg.
        sd->rmsgs.push_front(chain);
        if (counted(chain)) {
            sd->rq()->q_count += message_bytes(chain);
            if (sd->rq()->q_count >= sd->rq()->q_hiwat)
                set_flags(sd->rq(), QFULL);
        }
    }
    if (more)
        *more = flags_more;
    lk.unlock();
    if (wake)
        back_enable(sd->rq());
    return 0;
}

int StreamFile::read(void *buf, size_t len, size_t *got, int timeout_ms)
{
    NVX_REQUEST(req);
    if (!got || (len && !buf))
        return EINVAL;
    *got = 0;
    stdata *sd = stream_.get();
    if (oflag_ & (FNDELAY | FNONBLOCK))
        timeout_ms = 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    std::unique_lock<std::mutex> lk(sd->head_lock());
    auto ready = [&] { return sd->read_error || sd->hangup || !sd->rmsgs.empty(); };
    int err = timeout_ms == 0 ? (ready() ? 0 : EAGAIN)
                              : head_wait(sd, lk, &ctx_->proc, ctx_->closed,
                                          timeout_ms > 0 ? &deadline : nullptr, ready);
    if (err)
        return err;
    if (sd->read_error)
        return sd->read_error;
    bool wake = false;
    while (*got < len && !sd->rmsgs.empty()) {
        mblk_t *mp = sd->rmsgs.front();
        if (mp->b_datap->db_type != M_DATA) {
            if (*got == 0)
                err = EBADMSG;
            break;
        }
        sd->rmsgs.pop_front();
        wake |= head_dequeued_locked(sd, mp);
        bool rest;
        mblk_t *chain = mp;
        *got += take_part(&chain, false, static_cast<char *>(buf) + *got, len - *got, &rest);
        if (chain) {
            sd->rmsgs.push_front(chain);
            sd->rq()->q_count += message_bytes(chain);
            if (sd->rq()->q_count >= sd->rq()->q_hiwat)
                set_flags(sd->rq(), QFULL);
            break;
        }
    }
    lk.unlock();
    if (wake)
        back_enable(sd->rq());
    return err;
}

int StreamFile::mmap(offset_t off, size_t len, Mapping *out)
{
    NVX_REQUEST(req);
    if (!out)
        return EINVAL;
    stdata *sd = stream_.get();
    struct cb_ops *cb = sd->drv->ops->devo_cb_ops;
    if (!cb || !cb->cb_devmap || !(cb->cb_flag & D_DEVMAP))
        return ENODEV;
    devmap_handle h;
    size_t maplen = 0;
    int err = cb->cb_devmap(sd->dev, &h, off, len, &maplen, caller_.model & IOC_MODELS);
    if (err)
        return err;
    if (!h.set)
        return ENXIO;
    platform::umem::Backing b = platform::umem::backing(h.cookie);
    int fd = dup(b.memfd);
    if (fd < 0)
        return errno == EMFILE ? EMFILE : ENOMEM;
    out->fd = fd;
    out->offset = static_cast<off_t>(h.koff);
    out->length = h.len;
    return 0;
}

void StreamFile::interrupt()
{
    if (!ctx_)
        return;
    ctx_->proc.raise_signal();
    std::lock_guard<std::mutex> g(stream_->head_lock());
    stream_->wait.notify_all();
}

void StreamFile::clear_interrupt()
{
    if (ctx_)
        ctx_->proc.clear_signal();
}

size_t StreamFile::messages_waiting() const
{
    std::lock_guard<std::mutex> g(stream_->head_lock());
    return stream_->rmsgs.size();
}

uint64_t StreamFile::messages_received() const
{
    std::lock_guard<std::mutex> g(stream_->head_lock());
    return stream_->received;
}

void StreamFile::inject_up(mblk_t *mp)
{
    platform::proc::ScopedContext scope(&ctx_->proc);
    putnext(driver_rq(), mp);
}

void StreamFile::inject_down(mblk_t *mp)
{
    platform::proc::ScopedContext scope(&ctx_->proc);
    putnext(head_wq(), mp);
}

queue_t *StreamFile::driver_rq() const
{
    return stream_->driver ? &stream_->driver->q[0] : nullptr;
}

queue_t *StreamFile::head_wq() const
{
    return stream_->wq();
}

} // namespace platform::streams
