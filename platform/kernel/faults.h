/*
 * Fault injection for tests: make chosen future allocations fail, so that every allocation
 * failure path of a driver can be driven.
 *
 * Kinds:
 *   kmem_nosleep - kmem_alloc / kmem_zalloc with KM_NOSLEEP (KM_SLEEP never fails)
 *   allocb       - every message block allocation: allocb, and the blocks made by dupb, copyb,
 *                  dupmsg, copymsg and pullupmsg
 *   umem         - ddi_umem_alloc (either flag)
 *
 * Settings are process-wide (any thread's call counts) and stay until cleared. An injected
 * failure behaves exactly as a real one (NULL; nothing accounted).
 */
#ifndef NVX_PLATFORM_FAULTS_H
#define NVX_PLATFORM_FAULTS_H

#include <cstdint>

namespace platform::faults
{

enum class Kind { kmem_nosleep, allocb, umem };

// The nth call of this kind from now fails (n = 1: the next one); the others succeed. Once it
// has failed the kind is disarmed.
void fail_nth(Kind kind, unsigned n);

// Every call of this kind fails until clear(kind) or reset().
void fail_always(Kind kind);

// Disarm one kind.
void clear(Kind kind);

// Disarm every kind and zero the injected counts.
void reset();

// Failures injected for this kind since the last reset().
std::uint64_t injected(Kind kind);

// Platform internal: true if this call of kind must fail. Costs one relaxed load while the
// kind is disarmed.
bool should_fail(Kind kind);

// RAII for tests: resets on construction and destruction.
class Scope
{
  public:
    Scope() { reset(); }
    Scope(const Scope &) = delete;
    Scope &operator=(const Scope &) = delete;
    ~Scope() { reset(); }
};

} // namespace platform::faults

#endif
