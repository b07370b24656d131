// The user-level calls: streams are connections to the host (see nvx_user.h).
//
// State: a table of this process's streams (descriptor -> connection) and of the device
// mappings made through nvx_mmap (address -> length), both behind one mutex taken only for
// look-ups and changes, never across a request. Each connection has its own request mutex,
// held from sending a request to reading its reply, so one stream serves one request at a time.
//
// A descriptor closed behind our back (plain close(2)) and reused for something else must not
// be taken for the old stream: each entry remembers the socket's inode, checked with fstat
// before a request.
#include "nvx_user.h"

#include "wire_io.h"

#include <sys/kfile.h>
#include <sys/stream.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace wire = platform::host::wire;

namespace
{

struct Connection {
    int fd = -1;
    ino_t ino = 0;
    std::mutex request; // held for one request and its reply
    std::uint32_t next_seq = 1;
};

struct Tables {
    std::mutex m;
    std::map<int, std::shared_ptr<Connection>> streams; // by descriptor
    std::map<std::uintptr_t, size_t> mappings;          // device mappings: address -> length
};

Tables &tables()
{
    static Tables *t = new Tables; // never destroyed: calls may come from atexit handlers
    return *t;
}

std::shared_ptr<Connection> find_stream(int fd)
{
    std::shared_ptr<Connection> c;
    {
        std::lock_guard<std::mutex> g(tables().m);
        auto it = tables().streams.find(fd);
        if (it == tables().streams.end())
            return nullptr;
        c = it->second;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_ino != c->ino || !S_ISSOCK(st.st_mode)) {
        // Closed with close(2) and reused: forget the stale entry.
        std::lock_guard<std::mutex> g(tables().m);
        auto it = tables().streams.find(fd);
        if (it != tables().streams.end() && it->second == c)
            tables().streams.erase(it);
        return nullptr;
    }
    return c;
}

std::string root_dir()
{
    if (const char *r = std::getenv("NVX_ROOT"); r && *r)
        return r;
    return "/tmp/nvx-" + std::to_string(::geteuid());
}

// The reply to one request: the record, its data, and a descriptor if one came with it.
struct Answer {
    wire::Reply reply{};
    std::vector<char> data;
    int fd = -1;
};

// Sends one request and waits for its reply. While waiting, a caught signal (poll fails with
// EINTR whatever SA_RESTART says) is passed to the host as an Interrupt for this request.
// Returns 0 or an errno value of the transport (EPIPE, ECONNRESET, EPROTO).
int transact(Connection &c, std::uint16_t type, const void *rec, size_t rec_len, const void *extra1,
             size_t len1, const void *extra2, size_t len2, Answer *ans)
{
    std::uint32_t seq = c.next_seq++;
    wire::Header h = wire::make_header(type, seq, rec_len + len1 + len2);
    iovec iov[4] = {{&h, sizeof h},
                    {const_cast<void *>(rec), rec_len},
                    {const_cast<void *>(extra1), len1},
                    {const_cast<void *>(extra2), len2}};
    if (int err = wire::send_all(c.fd, iov, 4))
        return err;
    for (;;) {
        pollfd p{c.fd, POLLIN, 0};
        int n = ::poll(&p, 1, -1);
        if (n > 0)
            break;
        if (n < 0 && errno == EINTR) {
            wire::InterruptReq ir{seq, 0};
            wire::Header ih = wire::make_header(wire::kInterrupt, seq, sizeof ir);
            iovec iiov[2] = {{&ih, sizeof ih}, {&ir, sizeof ir}};
            if (int err = wire::send_all(c.fd, iiov, 2))
                return err;
            continue;
        }
        if (n < 0)
            return errno;
    }
    wire::Header rh;
    if (int err = wire::recv_all(c.fd, &rh, sizeof rh, &ans->fd))
        return err;
    if (rh.magic != wire::kMagic || rh.version != wire::kVersion || rh.type != wire::kReply ||
        rh.seq != seq || rh.length < sizeof(wire::Reply) || rh.length > wire::kMaxPayload + 64)
        return EPROTO;
    if (int err = wire::recv_all(c.fd, &ans->reply, sizeof ans->reply, &ans->fd))
        return err;
    if (ans->reply.len != rh.length - sizeof(wire::Reply))
        return EPROTO;
    ans->data.resize(ans->reply.len);
    if (ans->reply.len)
        if (int err = wire::recv_all(c.fd, ans->data.data(), ans->reply.len, &ans->fd))
            return err;
    return 0;
}

// One request on a stream; returns the host's error (0) or the transport's.
int request(Connection &c, std::uint16_t type, const void *rec, size_t rec_len, Answer *ans,
            const void *e1 = nullptr, size_t l1 = 0, const void *e2 = nullptr, size_t l2 = 0)
{
    std::lock_guard<std::mutex> g(c.request);
    if (int err = transact(c, type, rec, rec_len, e1, l1, e2, l2, ans))
        return err;
    return ans->reply.error;
}

int fail(int err)
{
    errno = err;
    return -1;
}

// Linux open flags as the target's file flags.
std::uint32_t target_oflag(int oflag)
{
    std::uint32_t f = 0;
    switch (oflag & O_ACCMODE) {
    case O_RDONLY:
        f = FREAD;
        break;
    case O_WRONLY:
        f = FWRITE;
        break;
    default:
        f = FREAD | FWRITE;
        break;
    }
    if (oflag & O_NONBLOCK)
        f |= FNONBLOCK;
    if (oflag & O_EXCL)
        f |= FEXCL;
    return f;
}

int connect_host()
{
    std::string path = root_dir() + "/" + wire::kSocketName;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path)
        return -1;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (::connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        int e = errno;
        ::close(s);
        errno = e;
        return -1;
    }
    return s;
}

// Asks the host to open path. Returns the descriptor, -1 with errno, or -2 when the host
// does not know the path (or no host runs): the caller falls back to the C library.
int host_open(const char *path, int oflag)
{
    size_t plen = std::strlen(path);
    if (plen == 0 || plen > wire::kMaxPath)
        return -2;
    int s = connect_host();
    if (s < 0)
        return -2;
    auto c = std::make_shared<Connection>();
    c->fd = s;
    struct stat st;
    if (::fstat(s, &st) != 0) {
        ::close(s);
        return -2;
    }
    c->ino = st.st_ino;
    wire::OpenReq req{target_oflag(oflag), IOC_NATIVE, static_cast<std::uint32_t>(plen), 0};
    Answer ans;
    int err = request(*c, wire::kOpen, &req, sizeof req, &ans, path, plen);
    if (ans.fd >= 0)
        ::close(ans.fd);
    if (err) {
        ::close(s);
        if (err == ENOENT)
            return -2;
        return fail(err);
    }
    std::lock_guard<std::mutex> g(tables().m);
    tables().streams[s] = c;
    return s;
}

int do_ioctl_str(Connection &c, struct strioctl *s)
{
    if (!s || s->ic_len < 0 || (s->ic_len > 0 && !s->ic_dp))
        return fail(EINVAL);
    auto len = static_cast<std::uint32_t>(s->ic_len);
    if (len > wire::kMaxPayload - sizeof(wire::IoctlReq))
        return fail(EINVAL);
    wire::IoctlReq req{s->ic_cmd, s->ic_timout, len, len};
    Answer ans;
    if (int err = request(c, wire::kIoctlStr, &req, sizeof req, &ans, s->ic_dp, len))
        return fail(err);
    size_t n = std::min<size_t>(ans.data.size(), len);
    if (n)
        std::memcpy(s->ic_dp, ans.data.data(), n);
    s->ic_len = static_cast<int>(n);
    return ans.reply.rval;
}

// A plain ioctl whose argument is a record sent down and read back whole (the SAD requests).
int do_ioctl_record(Connection &c, int cmd, void *arg, size_t size)
{
    if (!arg)
        return fail(EFAULT);
    struct strioctl s {
        cmd, INFTIM, static_cast<int>(size), static_cast<char *>(arg)
    };
    return do_ioctl_str(c, &s);
}

int do_vml(Connection &c, struct str_list *sl)
{
    if (!sl)
        return fail(EFAULT);
    if (sl->sl_nmods <= 0)
        return fail(EINVAL);
    if (!sl->sl_modlist || sl->sl_nmods > 1024)
        return fail(EFAULT);
    std::vector<char> names(static_cast<size_t>(sl->sl_nmods) * sizeof(struct str_mlist));
    std::memcpy(names.data(), sl->sl_modlist, names.size());
    struct strioctl s {
        SAD_VML, INFTIM, static_cast<int>(names.size()), names.data()
    };
    return do_ioctl_str(c, &s);
}

int do_name(Connection &c, std::uint16_t type, const char *name)
{
    if (!name)
        return fail(EFAULT);
    wire::NameReq req{};
    size_t n = strnlen(name, sizeof req.name);
    if (n == 0 || n > FMNAMESZ)
        return fail(EINVAL);
    std::memcpy(req.name, name, n);
    Answer ans;
    if (int err = request(c, type, &req, sizeof req, &ans))
        return fail(err);
    return ans.reply.rval;
}

int do_list(Connection &c, struct str_list *sl)
{
    Answer ans;
    if (int err = request(c, wire::kList, nullptr, 0, &ans))
        return fail(err);
    int count = ans.reply.rval;
    if (count < 0 || ans.data.size() != static_cast<size_t>(count) * wire::kListNameSize)
        return fail(EPROTO);
    if (!sl)
        return count;
    if (sl->sl_nmods < count || !sl->sl_modlist)
        return fail(EINVAL);
    for (int i = 0; i < count; ++i) {
        std::memcpy(sl->sl_modlist[i].l_name, ans.data.data() + i * wire::kListNameSize,
                    wire::kListNameSize);
        sl->sl_modlist[i].l_name[FMNAMESZ] = '\0';
    }
    sl->sl_nmods = count;
    return 0;
}

int stream_ioctl(Connection &c, int request_code, void *arg)
{
    switch (request_code) {
    case I_STR:
        return do_ioctl_str(c, static_cast<struct strioctl *>(arg));
    case SAD_SAP_V0:
    case SAD_GAP_V0:
        return do_ioctl_record(c, request_code, arg, STRAPUSH_V0_SIZE);
    case SAD_SAP_V1:
    case SAD_GAP_V1:
        return do_ioctl_record(c, request_code, arg, STRAPUSH_V1_SIZE);
    case SAD_VML:
        return do_vml(c, static_cast<struct str_list *>(arg));
    case I_PUSH:
        return do_name(c, wire::kPush, static_cast<const char *>(arg));
    case I_FIND:
        return do_name(c, wire::kFind, static_cast<const char *>(arg));
    case I_POP: {
        Answer ans;
        if (int err = request(c, wire::kPop, nullptr, 0, &ans))
            return fail(err);
        return 0;
    }
    case I_LIST:
        return do_list(c, static_cast<struct str_list *>(arg));
    case I_FLUSH: {
        wire::FlushReq req{static_cast<std::int32_t>(reinterpret_cast<std::intptr_t>(arg)), 0};
        Answer ans;
        if (int err = request(c, wire::kFlush, &req, sizeof req, &ans))
            return fail(err);
        return 0;
    }
    default:
        return fail(EINVAL);
    }
}

// The length of a putmsg part: -1 when absent.
int part_len(const struct strbuf *b)
{
    if (!b || b->len < 0)
        return -1;
    return b->len;
}

} // namespace

extern "C" {

int nvx_open(const char *path, int oflag, ...)
{
    mode_t mode = 0;
    if (oflag & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, oflag);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (!path)
        return fail(EFAULT);
    if (std::strncmp(path, "/dev/", 5) == 0) {
        int fd = host_open(path, oflag);
        if (fd != -2)
            return fd;
    }
    return ::open(path, oflag, mode);
}

int nvx_close(int fd)
{
    std::shared_ptr<Connection> c;
    {
        std::lock_guard<std::mutex> g(tables().m);
        auto it = tables().streams.find(fd);
        if (it != tables().streams.end()) {
            c = it->second;
            tables().streams.erase(it);
        }
    }
    // Closing the connection closes the stream in the host (a request of another thread in
    // progress on it ends with an error).
    return ::close(fd);
}

int nvx_is_stream(int fd)
{
    return find_stream(fd) != nullptr;
}

int nvx_ioctl(int fd, int request_code, ...)
{
    va_list ap;
    va_start(ap, request_code);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    auto c = find_stream(fd);
    if (!c)
        return ::ioctl(fd, static_cast<unsigned long>(static_cast<unsigned>(request_code)), arg);
    return stream_ioctl(*c, request_code, arg);
}

int nvx_putmsg(int fd, const struct strbuf *ctlptr, const struct strbuf *dataptr, int flags)
{
    auto c = find_stream(fd);
    if (!c)
        return fail(::fcntl(fd, F_GETFD) < 0 ? EBADF : ENOSTR);
    int cl = part_len(ctlptr), dl = part_len(dataptr);
    if ((cl > 0 && !ctlptr->buf) || (dl > 0 && !dataptr->buf))
        return fail(EFAULT);
    size_t total = static_cast<size_t>(std::max(cl, 0)) + static_cast<size_t>(std::max(dl, 0));
    if (total > wire::kMaxPayload - sizeof(wire::PutmsgReq))
        return fail(ERANGE);
    wire::PutmsgReq req{flags, cl, dl, 0};
    Answer ans;
    if (int err = request(*c, wire::kPutmsg, &req, sizeof req, &ans, cl > 0 ? ctlptr->buf : nullptr,
                          static_cast<size_t>(std::max(cl, 0)), dl > 0 ? dataptr->buf : nullptr,
                          static_cast<size_t>(std::max(dl, 0))))
        return fail(err);
    return 0;
}

int putmsg(int fd, const struct strbuf *ctlptr, const struct strbuf *dataptr, int flags)
{
    return nvx_putmsg(fd, ctlptr, dataptr, flags);
}

int nvx_getmsg(int fd, struct strbuf *ctlptr, struct strbuf *dataptr, int *flagsp)
{
    auto c = find_stream(fd);
    if (!c)
        return fail(::fcntl(fd, F_GETFD) < 0 ? EBADF : ENOSTR);
    if (!flagsp)
        return fail(EFAULT);
    int cmax = ctlptr ? ctlptr->maxlen : -1;
    int dmax = dataptr ? dataptr->maxlen : -1;
    if ((cmax > 0 && !ctlptr->buf) || (dmax > 0 && !dataptr->buf))
        return fail(EFAULT);
    wire::GetmsgReq req{*flagsp, cmax, dmax, -1};
    Answer ans;
    if (int err = request(*c, wire::kGetmsg, &req, sizeof req, &ans))
        return fail(err);
    std::int64_t cl = ans.reply.a, dl = ans.reply.b;
    size_t cbytes = static_cast<size_t>(std::max<std::int64_t>(cl, 0));
    size_t dbytes = static_cast<size_t>(std::max<std::int64_t>(dl, 0));
    if (cbytes + dbytes != ans.data.size() || (cbytes && (!ctlptr || cl > cmax)) ||
        (dbytes && (!dataptr || dl > dmax)))
        return fail(EPROTO);
    if (ctlptr) {
        ctlptr->len = static_cast<int>(cl);
        if (cbytes)
            std::memcpy(ctlptr->buf, ans.data.data(), cbytes);
    }
    if (dataptr) {
        dataptr->len = static_cast<int>(dl);
        if (dbytes)
            std::memcpy(dataptr->buf, ans.data.data() + cbytes, dbytes);
    }
    *flagsp = static_cast<int>(ans.reply.flags);
    return ans.reply.rval;
}

int getmsg(int fd, struct strbuf *ctlptr, struct strbuf *dataptr, int *flagsp)
{
    return nvx_getmsg(fd, ctlptr, dataptr, flagsp);
}

void *nvx_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    auto c = find_stream(fd);
    if (!c)
        return ::mmap(addr, len, prot, flags, fd, off);
    if (len == 0) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    wire::MmapReq req{static_cast<std::int64_t>(off), static_cast<std::uint64_t>(len)};
    Answer ans;
    int err = request(*c, wire::kMmap, &req, sizeof req, &ans);
    if (err || ans.fd < 0 || ans.reply.b <= 0 || ans.reply.a < 0 ||
        static_cast<std::uint64_t>(ans.reply.b) > SIZE_MAX) {
        if (ans.fd >= 0)
            ::close(ans.fd);
        errno = err ? err : EPROTO;
        return MAP_FAILED;
    }
    auto maplen = static_cast<size_t>(ans.reply.b);
    void *p = ::mmap(addr, maplen, prot, flags, ans.fd, static_cast<off_t>(ans.reply.a));
    int e = errno;
    ::close(ans.fd); // the mapping keeps the memory
    if (p == MAP_FAILED) {
        errno = e;
        return MAP_FAILED;
    }
    std::lock_guard<std::mutex> g(tables().m);
    tables().mappings[reinterpret_cast<std::uintptr_t>(p)] = maplen;
    return p;
}

int nvx_munmap(void *addr, size_t len)
{
    {
        std::lock_guard<std::mutex> g(tables().m);
        auto it = tables().mappings.find(reinterpret_cast<std::uintptr_t>(addr));
        if (it != tables().mappings.end()) {
            len = std::max(len, it->second);
            tables().mappings.erase(it);
        }
    }
    return ::munmap(addr, len);
}

const char *nvx_root_dir(void)
{
    thread_local std::string buf;
    buf = root_dir();
    return buf.c_str();
}

const char *nvx_platform_path(const char *path)
{
    thread_local std::string buf;
    if (!path || std::strncmp(path, "/etc/", 5) != 0)
        return path;
    buf = root_dir() + path;
    return buf.c_str();
}

} // extern "C"
