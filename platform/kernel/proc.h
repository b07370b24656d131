/*
 * Process contexts: the record of "the process behind the current request".
 *
 * The host thread serving a stream sets the requesting process's context as the thread's
 * current context while it runs that stream's open, close and write-side requests. NIC receive
 * threads (interrupt context) and the callout thread have none. A signal raised for a context
 * by another thread (the stream's connection saw the process interrupted) ends that context's
 * interruptible waits (cv_wait_sig, cv_timedwait_sig) promptly, now or at its next wait, until
 * it is cleared.
 */
#ifndef NVX_PLATFORM_PROC_H
#define NVX_PLATFORM_PROC_H

#include <sys/ktypes.h>

#include <atomic>

namespace platform::sync
{
struct Sleeper;
struct ContextAccess;
} // namespace platform::sync

namespace platform::proc
{

class Context
{
  public:
    Context(pid_t pid, const cred_t &cred);
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context();

    pid_t pid() const { return pid_; }
    // The credentials handed to open/close routines and put in ioc_cr; stable for the
    // context's life.
    cred_t *cred() { return &cred_; }

    // Any thread: marks a signal pending and wakes the context's interruptible wait, if any.
    void raise_signal();
    // Any thread: forgets the pending signal (the process has taken it).
    void clear_signal();
    bool signal_pending() const { return pending_.load(std::memory_order_acquire); }

  private:
    friend struct platform::sync::ContextAccess;

    pid_t pid_;
    cred_t cred_;
    // Release by raise_signal pairs with the acquire in signal_pending().
    std::atomic<bool> pending_{false};
    // Guarded by the platform's sleep-queue lock: the interruptible wait this context's
    // thread is in, if any.
    platform::sync::Sleeper *sleeper_ = nullptr;
};

// The calling thread's context; nullptr in interrupt and callout context.
Context *current();

// Makes ctx the calling thread's current context for the object's life, then restores the
// previous one.
class ScopedContext
{
  public:
    explicit ScopedContext(Context *ctx);
    ScopedContext(const ScopedContext &) = delete;
    ScopedContext &operator=(const ScopedContext &) = delete;
    ~ScopedContext();

  private:
    Context *previous_;
};

// Credentials with every id set to uid (and gid), pid recorded.
cred_t make_cred(uid_t uid, gid_t gid, pid_t pid);

} // namespace platform::proc

#endif
