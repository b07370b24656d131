/*
 * The records that cross the host's Unix socket, between streamhost and the user-level calls
 * (platform/user) or `streamhost ctl`.
 *
 * Contract:
 *   - Every record is made of fixed-width integers at fixed offsets, in the machine's own byte
 *     order (both ends run on the same machine); no pointers, no longs, no padding the
 *     compiler could choose. A 32-bit caller and a 64-bit host (or the reverse) agree
 *     byte for byte; the static_asserts below pin every size and offset.
 *   - A frame is a Header followed by exactly `length` payload bytes. A request's payload
 *     starts with the record of its type; a reply's payload is a Reply followed by
 *     Reply::len data bytes. The only descriptor that ever travels is the region's memfd,
 *     attached (SCM_RIGHTS) to the reply of an accepted Mmap request.
 *   - The first request of a connection is Open (the connection becomes that stream) or
 *     Admin (the connection is an administrative session). A client has at most one request
 *     outstanding per connection; the one exception is Interrupt, sent while it waits for the
 *     reply to request `seq`, which is never answered.
 *   - Anything else (bad magic or version, unknown type, a payload of the wrong size or over
 *     kMaxPayload, a second request while one is outstanding) is answered with EPROTO and the
 *     connection is closed.
 */
#ifndef NVX_PLATFORM_HOST_WIRE_H
#define NVX_PLATFORM_HOST_WIRE_H

#include <cstddef>
#include <cstdint>

namespace platform::host::wire
{

constexpr std::uint32_t kMagic = 0x4e565848; // "HXVN" in memory on a little-endian machine
constexpr std::uint16_t kVersion = 1;
constexpr std::uint32_t kMaxPayload = 1u << 20; // bigger than any request the platform sends
constexpr std::uint32_t kMaxPath = 255;         // device path bytes of an Open request
constexpr std::uint32_t kMaxAdminArgs = 16;

// File names of the host's root directory.
constexpr const char *kSocketName = "streamhost.sock";
constexpr const char *kConsoleName = "console.log";
constexpr const char *kNameToMajor = "etc/name_to_major";

enum Type : std::uint16_t {
    kOpen = 1,      // OpenReq + path bytes          -> Reply a = major, b = minor
    kIoctlStr = 2,  // IoctlReq + in_len bytes       -> Reply rval, len bytes of reply data
    kPutmsg = 3,    // PutmsgReq + ctl + data bytes  -> Reply
    kGetmsg = 4,    // GetmsgReq                     -> Reply rval = MORECTL|MOREDATA,
                    //   flags = RS_HIPRI or 0, a/b = control/data length (-1: no part),
                    //   len bytes = control then data
    kMmap = 5,      // MmapReq                       -> Reply a = offset, b = length, + memfd
    kInterrupt = 6, // InterruptReq, no reply
    kPush = 7,      // NameReq                       -> Reply
    kPop = 8,       // no payload                    -> Reply
    kList = 9,      // no payload                    -> Reply rval = count, len = 9 * count
    kFind = 10,     // NameReq                       -> Reply rval = 0 or 1
    kFlush = 11,    // FlushReq                      -> Reply
    kAdmin = 12,    // AdminReq + NUL-ended args     -> Reply len bytes of text
    kReply = 0x80,
};

struct Header {
    std::uint32_t magic;
    std::uint16_t version;
    std::uint16_t type;
    std::uint32_t seq;    // request number chosen by the client, echoed by the reply
    std::uint32_t length; // payload bytes that follow
};

struct Reply {
    std::int32_t error; // 0 or an errno value (the target's numbers, which Linux shares)
    std::int32_t rval;
    std::uint32_t len;   // data bytes after this record
    std::uint32_t flags; // getmsg flags
    std::int64_t a;
    std::int64_t b;
};

struct OpenReq {
    std::uint32_t oflag;    // FREAD, FWRITE, FNDELAY, FNONBLOCK, FEXCL (sys/kfile.h values)
    std::uint32_t model;    // IOC_ILP32 or IOC_LP64: the caller's data model
    std::uint32_t path_len; // path bytes after this record, 1..kMaxPath, no NUL
    std::uint32_t reserved;
};

struct IoctlReq {
    std::int32_t cmd;
    std::int32_t timout;   // seconds: INFTIM, 0 for the default, > 0
    std::uint32_t in_len;  // data bytes after this record
    std::uint32_t out_cap; // bytes the caller's buffer takes back
};

struct PutmsgReq {
    std::int32_t flags;
    std::int32_t ctl_len;  // -1: no control part
    std::int32_t data_len; // -1: no data part
    std::uint32_t reserved;
};

struct GetmsgReq {
    std::int32_t flags;      // 0 or RS_HIPRI
    std::int32_t ctl_max;    // -1: the caller takes no control part
    std::int32_t data_max;   // -1: the caller takes no data part
    std::int32_t timeout_ms; // -1: wait for ever
};

struct MmapReq {
    std::int64_t off;
    std::uint64_t len;
};

struct InterruptReq {
    std::uint32_t seq; // the request being waited for
    std::uint32_t reserved;
};

struct NameReq {
    char name[16]; // NUL-terminated, at most FMNAMESZ (8) characters
};

struct FlushReq {
    std::int32_t flags;
    std::uint32_t reserved;
};

struct AdminReq {
    std::uint32_t argc; // NUL-terminated arguments after this record, 1..kMaxAdminArgs
    std::uint32_t reserved;
};

constexpr std::size_t kListNameSize = 9; // FMNAMESZ + 1, as str_mlist

static_assert(sizeof(Header) == 16 && offsetof(Header, seq) == 8 && offsetof(Header, length) == 12,
              "Header layout");
static_assert(sizeof(Reply) == 32 && offsetof(Reply, a) == 16 && offsetof(Reply, b) == 24,
              "Reply layout (the int64 fields must not move in a 32-bit build)");
static_assert(sizeof(OpenReq) == 16 && offsetof(OpenReq, path_len) == 8, "OpenReq layout");
static_assert(sizeof(IoctlReq) == 16 && offsetof(IoctlReq, out_cap) == 12, "IoctlReq layout");
static_assert(sizeof(PutmsgReq) == 16, "PutmsgReq layout");
static_assert(sizeof(GetmsgReq) == 16, "GetmsgReq layout");
static_assert(sizeof(MmapReq) == 16 && offsetof(MmapReq, len) == 8, "MmapReq layout");
static_assert(sizeof(InterruptReq) == 8, "InterruptReq layout");
static_assert(sizeof(NameReq) == 16, "NameReq layout");
static_assert(sizeof(FlushReq) == 8, "FlushReq layout");
static_assert(sizeof(AdminReq) == 8, "AdminReq layout");
static_assert(alignof(Reply) <= 8, "Reply alignment");

} // namespace platform::host::wire

#endif
