#include "fake_sad.h"

#include "wire_io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pushtest
{

namespace wire = platform::host::wire;

namespace
{

constexpr int kSadMajor = 99;

// Waits until fd is readable or the server stops; false when it stops.
bool wait_readable(int fd, const std::atomic<bool> &stop)
{
    while (!stop.load(std::memory_order_acquire)) {
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, 100);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
    return false;
}

int send_reply(int fd, std::uint32_t seq, int error, std::int64_t a, std::int64_t b,
               const void *data, std::uint32_t len)
{
    wire::Reply r{};
    r.error = error;
    r.rval = error ? -1 : 0;
    r.len = len;
    r.a = a;
    r.b = b;
    wire::Header h = wire::make_header(wire::kReply, seq, sizeof r + len);
    iovec iov[3] = {{&h, sizeof h}, {&r, sizeof r}, {const_cast<void *>(data), len}};
    return wire::send_all(fd, iov, 3);
}

} // namespace

FakeSad::FakeSad(std::string root, Script script)
    : root_(std::move(root)), script_(std::move(script))
{
    std::string path = root_ + "/" + wire::kSocketName;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path)
        return;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str()); // the previous stand-in's
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    if (::bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(s, 8) != 0) {
        ::close(s);
        return;
    }
    listen_fd_ = s;
    thread_ = std::thread([this] { serve(); });
}

FakeSad::~FakeSad()
{
    stop_.store(true, std::memory_order_release); // pairs with the acquire in wait_readable
    if (thread_.joinable())
        thread_.join();
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        ::unlink((root_ + "/" + wire::kSocketName).c_str());
    }
}

std::vector<SadRequest> FakeSad::requests() const
{
    std::lock_guard<std::mutex> g(m_);
    return requests_;
}

std::vector<std::string> FakeSad::opened() const
{
    std::lock_guard<std::mutex> g(m_);
    return opened_;
}

void FakeSad::serve()
{
    while (wait_readable(listen_fd_, stop_)) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        serve_connection(fd);
        ::close(fd);
    }
}

// One connection, one request at a time, until the caller closes it.
void FakeSad::serve_connection(int fd)
{
    while (wait_readable(fd, stop_)) {
        wire::Header h;
        if (wire::recv_all(fd, &h, sizeof h) != 0 || h.magic != wire::kMagic || h.length > 4096)
            return;
        std::vector<char> payload(h.length);
        if (h.length && wire::recv_all(fd, payload.data(), h.length) != 0)
            return;

        if (h.type == wire::kOpen && h.length >= sizeof(wire::OpenReq)) {
            wire::OpenReq req;
            std::memcpy(&req, payload.data(), sizeof req);
            std::string path(payload.data() + sizeof req, h.length - sizeof req);
            {
                std::lock_guard<std::mutex> g(m_);
                opened_.push_back(path);
            }
            bool sad = path == "/dev/sad/admin";
            send_reply(fd, h.seq, sad ? 0 : ENOENT, sad ? kSadMajor : 0, sad ? ADMMIN : 0, nullptr,
                       0);
            continue;
        }
        if (h.type == wire::kIoctlStr && h.length >= sizeof(wire::IoctlReq)) {
            wire::IoctlReq req;
            std::memcpy(&req, payload.data(), sizeof req);
            SadRequest r{req.cmd, {}};
            std::memcpy(&r.ap, payload.data() + sizeof req,
                        std::min(sizeof r.ap, h.length - sizeof req));
            {
                std::lock_guard<std::mutex> g(m_);
                requests_.push_back(r);
            }
            struct strapush reply = r.ap;
            int err = script_(r, &reply);
            bool with_record = err == 0 && (req.cmd == SAD_GAP_V0 || req.cmd == SAD_GAP_V1);
            send_reply(fd, h.seq, err, 0, 0, with_record ? &reply : nullptr,
                       with_record
                           ? static_cast<std::uint32_t>(std::min<size_t>(sizeof reply, req.out_cap))
                           : 0);
            continue;
        }
        send_reply(fd, h.seq, EINVAL, 0, 0, nullptr, 0);
    }
}

} // namespace pushtest
