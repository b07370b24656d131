/*
 * Process contexts, ddi_get_pid, ddi_get_cred and drv_priv.
 *
 * The current context is a thread-local pointer: set by the host thread that runs a stream's
 * requests, null elsewhere (NIC receive threads, the callout thread).
 */
#include "proc.h"

#include <sys/cmn_err.h>
#include <sys/kproc.h>

#include "sync_internal.h"

#include <cerrno>

namespace platform::proc
{
namespace
{
thread_local Context *t_current = nullptr;
}

Context::Context(pid_t pid, const cred_t &cred) : pid_(pid), cred_(cred) {}

Context::~Context()
{
    if (sleeper_ != nullptr)
        panic("proc: context of pid %d destroyed while its thread waits", static_cast<int>(pid_));
}

void Context::raise_signal()
{
    pending_.store(true, std::memory_order_release);
    platform::sync::wake_interrupted(*this);
}

void Context::clear_signal()
{
    pending_.store(false, std::memory_order_release);
}

Context *current()
{
    return t_current;
}

ScopedContext::ScopedContext(Context *ctx) : previous_(t_current)
{
    t_current = ctx;
}

ScopedContext::~ScopedContext()
{
    t_current = previous_;
}

cred_t make_cred(uid_t uid, gid_t gid, pid_t pid)
{
    cred_t c{};
    c.cr_uid = uid;
    c.cr_ruid = uid;
    c.cr_gid = gid;
    c.cr_rgid = gid;
    c.cr_pid = pid;
    return c;
}

} // namespace platform::proc

extern "C" pid_t ddi_get_pid(void)
{
    platform::proc::Context *ctx = platform::proc::current();
    return ctx != nullptr ? ctx->pid() : 0;
}

extern "C" cred_t *ddi_get_cred(void)
{
    platform::proc::Context *ctx = platform::proc::current();
    return ctx != nullptr ? ctx->cred() : nullptr;
}

extern "C" int drv_priv(cred_t *cr)
{
    return (cr != nullptr && cr->cr_uid == 0) ? 0 : EPERM;
}
