/*
 * Message block memory: the objects behind mblk_t and dblk_t, their per-thread caches and the
 * live/free state word that catches double frees.
 *
 * Object layouts (every object starts with a BlockHeader):
 *   data object:   [BlockHeader][mblk_t][dblk_t][buffer]  - allocb, copyb, pullupmsg
 *   mblk object:   [BlockHeader][mblk_t]                  - dupb
 * The mblk inside a data object is that object's "own" block; it can outlive the data block
 * it was made with (pullupmsg gives it a new one) and the data block can outlive it (dupb), so
 * a data object carries two holds - its dblk (while db_ref > 0) and its own mblk (while live)
 * - and is recycled when both are gone.
 *
 * Size classes (buffer bytes): 128, 512, 2048 from the caches; larger buffers come straight
 * from the host allocator and go back to it.
 */
#ifndef NVX_PLATFORM_MESSAGES_BLOCK_CACHE_H
#define NVX_PLATFORM_MESSAGES_BLOCK_CACHE_H

#include <sys/stream.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform::messages
{

constexpr std::uint32_t kBlockLive = 0x6d626c6b; // "mblk"
constexpr std::uint32_t kBlockFree = 0x66726565; // "free"

enum Class : std::uint8_t {
    kMblkOnly = 0, // mblk object
    kSmall = 1,    // data object, 128-byte buffer
    kMedium = 2,   // 512
    kLarge = 3,    // 2048
    kHuge = 4,     // data object sized to the request, from the host allocator
};
constexpr int kCachedClasses = 4; // kMblkOnly .. kLarge

struct alignas(16) BlockHeader {
    std::atomic<std::uint32_t> state; // the mblk after it: kBlockLive or kBlockFree
    std::uint8_t cls;                 // Class of the object
    std::uint8_t reserved[3];
    std::atomic<std::uint32_t> holds; // data objects: dblk hold + own-mblk hold
    std::uint32_t capacity;           // data objects: buffer bytes
};
static_assert(sizeof(BlockHeader) == 16, "header keeps the mblk 16-byte aligned");

constexpr std::size_t round16(std::size_t n)
{
    return (n + 15) & ~std::size_t{15};
}
constexpr std::size_t kMblkOffset = sizeof(BlockHeader);
constexpr std::size_t kDblkOffset = kMblkOffset + sizeof(mblk_t);
constexpr std::size_t kBufferOffset = round16(kDblkOffset + sizeof(dblk_t));

inline BlockHeader *header_of(mblk_t *mp)
{
    return reinterpret_cast<BlockHeader *>(reinterpret_cast<char *>(mp) - kMblkOffset);
}
inline mblk_t *own_mblk(BlockHeader *h)
{
    return reinterpret_cast<mblk_t *>(reinterpret_cast<char *>(h) + kMblkOffset);
}
inline dblk_t *own_dblk(BlockHeader *h)
{
    return reinterpret_cast<dblk_t *>(reinterpret_cast<char *>(h) + kDblkOffset);
}
inline unsigned char *buffer_of(BlockHeader *h)
{
    return reinterpret_cast<unsigned char *>(h) + kBufferOffset;
}
inline BlockHeader *object_of(dblk_t *db)
{
    return static_cast<BlockHeader *>(db->db_platform);
}

// A data object with at least size buffer bytes, header initialised (own mblk still free, no
// holds), or nullptr when the host is out of memory.
BlockHeader *take_data_object(std::size_t size);
// An mblk object, header initialised (free), or nullptr.
BlockHeader *take_mblk_object();
// Return an object to its cache (or to the host for kHuge). Poisons it in debug and sanitizer
// builds.
void give_back(BlockHeader *h);

// The calling thread's message counters (owned by this thread; relaxed).
void count_allocated();
void count_freed();

} // namespace platform::messages

#endif
