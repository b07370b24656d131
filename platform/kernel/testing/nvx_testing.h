/*
 * Test support for code that runs on the emulated kernel.
 *
 * Linking nvx_platform_testing into a GoogleTest executable installs a listener that, after
 * every test, fails that test if it left more message blocks, kmem allocations or umem
 * allocations outstanding than there were when it started, and puts the fault injection and
 * the clock back to their defaults (faults disarmed, real clock) for the next test.
 *
 * In a tests/<component>/CMakeLists.txt:
 *   nvx_add_test(NAME my_test SOURCES my_test.cpp LIBS nvx_platform_testing ...)
 */
#ifndef NVX_PLATFORM_TESTING_H
#define NVX_PLATFORM_TESTING_H

#include <sys/ktypes.h>
#include <sys/stream.h>

#include "proc.h"

#include <memory>
#include <string>
#include <string_view>

namespace platform::testing
{

// A message of one block of the given type holding bytes (NULL only if allocation fails).
mblk_t *make_message(std::string_view bytes, unsigned char type = M_DATA);

// A message of several blocks of the given type, one per piece.
mblk_t *make_chain(std::initializer_list<std::string_view> pieces, unsigned char type = M_DATA);

// The bytes of every block of a message, in order (all types).
std::string message_bytes(const mblk_t *mp);

// Number of blocks in a message's b_cont chain.
int block_count(const mblk_t *mp);

// A process context with the given ids, current on the calling thread for the object's life.
class AsProcess
{
  public:
    explicit AsProcess(pid_t pid, uid_t uid = 0, gid_t gid = 0);
    AsProcess(const AsProcess &) = delete;
    AsProcess &operator=(const AsProcess &) = delete;
    ~AsProcess();

    proc::Context &context() { return *context_; }

  private:
    std::unique_ptr<proc::Context> context_;
    std::unique_ptr<proc::ScopedContext> scope_;
};

} // namespace platform::testing

#endif
