#include "connection.h"

#include "host.h"
#include "wire_io.h"

#include <sys/kfile.h>
#include <sys/stream.h>
#include <sys/sunddi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <unistd.h>

namespace platform::host
{

namespace
{

// Payload bytes a request type may carry at most (checked before the payload is read).
std::uint32_t max_payload(std::uint16_t type)
{
    switch (type) {
    case wire::kOpen:
        return sizeof(wire::OpenReq) + wire::kMaxPath;
    case wire::kIoctlStr:
    case wire::kPutmsg:
    case wire::kAdmin:
        return wire::kMaxPayload;
    case wire::kGetmsg:
        return sizeof(wire::GetmsgReq);
    case wire::kMmap:
        return sizeof(wire::MmapReq);
    case wire::kInterrupt:
        return sizeof(wire::InterruptReq);
    case wire::kPush:
    case wire::kFind:
        return sizeof(wire::NameReq);
    case wire::kPop:
    case wire::kList:
        return 0;
    case wire::kFlush:
        return sizeof(wire::FlushReq);
    default:
        return 0;
    }
}

bool known_type(std::uint16_t type)
{
    return type >= wire::kOpen && type <= wire::kAdmin;
}

template <typename T> bool take_record(const Frame &f, T *rec)
{
    if (f.payload.size() < sizeof(T))
        return false;
    std::memcpy(rec, f.payload.data(), sizeof(T));
    return true;
}

// A module name of a NameReq: NUL-terminated within the record, 1..FMNAMESZ characters.
bool take_name(const Frame &f, std::string *name)
{
    wire::NameReq req;
    if (f.payload.size() != sizeof req || !take_record(f, &req))
        return false;
    size_t n = strnlen(req.name, sizeof req.name);
    if (n == 0 || n > FMNAMESZ)
        return false;
    name->assign(req.name, n);
    return true;
}

} // namespace

Connection::Connection(Host &host, int fd, const ucred &peer, std::uint64_t id)
    : host_(host), fd_(fd), peer_(peer), id_(id)
{
}

Connection::~Connection()
{
    if (thread_.joinable())
        thread_.join();
}

void Connection::start()
{
    thread_ = std::thread([this] { run(); });
}

void Connection::shut_down()
{
    ::shutdown(fd_, SHUT_RDWR);
}

Connection::Info Connection::info()
{
    std::lock_guard<std::mutex> g(m_);
    Info in{id_, peer_.pid, peer_.uid, admin_, path_, 0, {}};
    if (file_) {
        in.dev = file_->dev();
        file_->list(&in.modules);
    }
    return in;
}

void Connection::end_reading(bool malformed)
{
    std::unique_lock<std::mutex> lk(m_);
    hangup_ = true;
    bad_ = bad_ || malformed;
    cv_.notify_all();
    // A request still sleeping in the driver is ended as a signal ends it; repeated, since a
    // driver may wait again after one interrupted wait.
    while (busy_) {
        if (file_)
            file_->interrupt();
        cv_.wait_for(lk, std::chrono::milliseconds(100));
    }
}

void Connection::read_loop()
{
    for (;;) {
        Frame f;
        if (wire::recv_all(fd_, &f.h, sizeof f.h) != 0)
            return end_reading(false);
        if (f.h.magic != wire::kMagic || f.h.version != wire::kVersion || !known_type(f.h.type) ||
            f.h.length > max_payload(f.h.type))
            return end_reading(true);
        f.payload.resize(f.h.length);
        if (f.h.length && wire::recv_all(fd_, f.payload.data(), f.h.length) != 0)
            return end_reading(false);
        std::lock_guard<std::mutex> g(m_);
        if (f.h.type == wire::kInterrupt) {
            wire::InterruptReq ir;
            if (f.payload.size() != sizeof ir || !take_record(f, &ir)) {
                bad_ = true;
                hangup_ = true;
                cv_.notify_all();
                break;
            }
            // Only the request still in progress is interrupted: an Interrupt that crossed
            // its reply is dropped.
            if (busy_ && ir.seq == busy_seq_ && file_) {
                raised_seq_ = ir.seq;
                file_->interrupt();
            }
            continue;
        }
        if (busy_) { // a second request while one is outstanding
            bad_ = true;
            hangup_ = true;
            cv_.notify_all();
            break;
        }
        busy_ = true;
        busy_seq_ = f.h.seq;
        pending_ = std::move(f);
        cv_.notify_all();
    }
    end_reading(true);
}

void Connection::run()
{
    reader_ = std::thread([this] { read_loop(); });
    bool go_on = true;
    while (go_on) {
        Frame f;
        {
            std::unique_lock<std::mutex> lk(m_);
            cv_.wait(lk, [&] { return pending_.has_value() || hangup_; });
            if (!pending_)
                break;
            f = std::move(*pending_);
            pending_.reset();
        }
        go_on = execute(f);
        finish_request(f.h.seq); // already done by its reply, unless it had none
    }
    bool malformed;
    {
        std::lock_guard<std::mutex> g(m_);
        malformed = bad_;
    }
    if (malformed)
        reply_error(0, EPROTO);
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    // Last close of the stream: modules and driver close routines run in this thread.
    platform::streams::FilePtr file;
    {
        std::lock_guard<std::mutex> g(m_);
        file = std::move(file_);
    }
    if (file)
        file->close();
    file.reset();
    ::close(fd_);
    finished_.store(true, std::memory_order_release);
    host_.connection_finished();
}

void Connection::finish_request(std::uint32_t seq)
{
    std::lock_guard<std::mutex> g(m_);
    if (!busy_ || busy_seq_ != seq)
        return;
    busy_ = false;
    // An Interrupt raised for this request that it did not take is forgotten here; the reader
    // raises none for it any more (busy_ is false).
    if (raised_seq_ == seq && file_)
        file_->clear_interrupt();
    raised_seq_ = 0;
    cv_.notify_all();
}

int Connection::reply(std::uint32_t seq, const wire::Reply &r, const void *data, size_t len, int fd)
{
    // The request is over before its reply leaves: the client may send the next one at once.
    finish_request(seq);
    wire::Reply rec = r;
    rec.len = static_cast<std::uint32_t>(len);
    wire::Header h = wire::make_header(wire::kReply, seq, sizeof rec + len);
    iovec iov[3] = {{&h, sizeof h}, {&rec, sizeof rec}, {const_cast<void *>(data), len}};
    return wire::send_all(fd_, iov, len ? 3 : 2, fd);
}

bool Connection::execute(const Frame &f)
{
    bool opened;
    {
        std::lock_guard<std::mutex> g(m_);
        opened = file_ != nullptr;
    }
    if (!opened && !admin_) {
        if (f.h.type == wire::kOpen)
            return do_open(f);
        if (f.h.type == wire::kAdmin)
            return do_admin(f);
        reply_error(f.h.seq, EPROTO);
        return false;
    }
    if (admin_) {
        if (f.h.type != wire::kAdmin) {
            reply_error(f.h.seq, EPROTO);
            return false;
        }
        return do_admin(f);
    }
    switch (f.h.type) {
    case wire::kIoctlStr:
        do_ioctl(f);
        return true;
    case wire::kPutmsg:
        do_putmsg(f);
        return true;
    case wire::kGetmsg:
        do_getmsg(f);
        return true;
    case wire::kMmap:
        do_mmap(f);
        return true;
    case wire::kPush:
    case wire::kFind:
        do_name(f);
        return true;
    case wire::kPop: {
        wire::Reply r{};
        r.error = file_->pop();
        reply(f.h.seq, r);
        return true;
    }
    case wire::kList:
        do_list(f);
        return true;
    case wire::kFlush: {
        wire::FlushReq req;
        if (f.payload.size() != sizeof req || !take_record(f, &req))
            break;
        wire::Reply r{};
        r.error = file_->flush(req.flags);
        reply(f.h.seq, r);
        return true;
    }
    default:
        break;
    }
    // Wrong size for its type, or an Open/Admin on an open stream.
    reply_error(f.h.seq, EPROTO);
    return false;
}

bool Connection::do_open(const Frame &f)
{
    wire::OpenReq req;
    if (!take_record(f, &req) || req.path_len == 0 || req.path_len > wire::kMaxPath ||
        f.payload.size() != sizeof req + req.path_len ||
        (req.model != IOC_ILP32 && req.model != IOC_LP64)) {
        reply_error(f.h.seq, EPROTO);
        return false;
    }
    std::string path(f.payload.data() + sizeof req, req.path_len);
    if (path.find('\0') != std::string::npos || path.rfind("/dev/", 0) != 0) {
        reply_error(f.h.seq, ENOENT);
        return false;
    }
    platform::streams::Caller caller;
    caller.pid = peer_.pid;
    caller.uid = peer_.uid;
    caller.gid = peer_.gid;
    caller.model = req.model;
    int oflag = static_cast<int>(req.oflag & (FREAD | FWRITE | FNDELAY | FNONBLOCK | FEXCL));
    platform::streams::FilePtr file;
    int err = platform::streams::open(path, oflag, caller, &file);
    host_.tables_changed(); // an open may have loaded a driver on demand
    wire::Reply r{};
    r.error = err;
    if (err) {
        reply(f.h.seq, r);
        return false;
    }
    r.a = static_cast<std::int64_t>(getmajor(file->dev()));
    r.b = static_cast<std::int64_t>(getminor(file->dev()));
    {
        std::lock_guard<std::mutex> g(m_);
        file_ = std::move(file);
        path_ = path;
    }
    reply(f.h.seq, r);
    return true;
}

void Connection::do_ioctl(const Frame &f)
{
    wire::IoctlReq req;
    if (!take_record(f, &req) || f.payload.size() != sizeof req + req.in_len ||
        req.out_cap > wire::kMaxPayload) {
        reply_error(f.h.seq, EPROTO);
        shut_down();
        return;
    }
    std::vector<char> out(req.out_cap);
    platform::streams::IoctlResult res;
    int err = file_->ioctl_str(req.cmd, req.timout, f.payload.data() + sizeof req, req.in_len,
                               out.data(), out.size(), &res);
    wire::Reply r{};
    r.error = err;
    if (err)
        return (void)reply(f.h.seq, r);
    r.rval = res.rval;
    reply(f.h.seq, r, out.data(), std::min(res.len, out.size()));
}

void Connection::do_putmsg(const Frame &f)
{
    wire::PutmsgReq req;
    bool ok = take_record(f, &req) && req.ctl_len >= -1 && req.data_len >= -1;
    size_t cl = ok ? static_cast<size_t>(std::max(req.ctl_len, 0)) : 0;
    size_t dl = ok ? static_cast<size_t>(std::max(req.data_len, 0)) : 0;
    if (!ok || f.payload.size() != sizeof req + cl + dl) {
        reply_error(f.h.seq, EPROTO);
        shut_down();
        return;
    }
    char *base = const_cast<char *>(f.payload.data()) + sizeof req;
    strbuf ctl{0, req.ctl_len, base};
    strbuf data{0, req.data_len, base + cl};
    wire::Reply r{};
    r.error = file_->putmsg(req.ctl_len >= 0 ? &ctl : nullptr, req.data_len >= 0 ? &data : nullptr,
                            req.flags);
    reply(f.h.seq, r);
}

void Connection::do_getmsg(const Frame &f)
{
    wire::GetmsgReq req;
    constexpr std::int32_t kMaxPart = static_cast<std::int32_t>(wire::kMaxPayload / 2);
    if (f.payload.size() != sizeof req || !take_record(f, &req) || req.ctl_max < -1 ||
        req.ctl_max > kMaxPart || req.data_max < -1 || req.data_max > kMaxPart ||
        req.timeout_ms < -1) {
        reply_error(f.h.seq, EPROTO);
        shut_down();
        return;
    }
    std::vector<char> buf(static_cast<size_t>(std::max(req.ctl_max, 0)) +
                          static_cast<size_t>(std::max(req.data_max, 0)));
    strbuf ctl{req.ctl_max, -1, buf.data()};
    strbuf data{req.data_max, -1, buf.data() + std::max(req.ctl_max, 0)};
    int flags = req.flags, more = 0;
    wire::Reply r{};
    r.error = file_->getmsg(req.ctl_max >= 0 ? &ctl : nullptr, req.data_max >= 0 ? &data : nullptr,
                            &flags, &more, req.timeout_ms);
    if (r.error)
        return (void)reply(f.h.seq, r);
    r.rval = more;
    r.flags = static_cast<std::uint32_t>(flags);
    r.a = ctl.len;
    r.b = data.len;
    // Send the control bytes, then the data bytes, packed.
    size_t cbytes = static_cast<size_t>(std::max(ctl.len, 0));
    size_t dbytes = static_cast<size_t>(std::max(data.len, 0));
    if (dbytes)
        std::memmove(buf.data() + cbytes, data.buf, dbytes);
    reply(f.h.seq, r, buf.data(), cbytes + dbytes);
}

void Connection::do_mmap(const Frame &f)
{
    wire::MmapReq req;
    if (f.payload.size() != sizeof req || !take_record(f, &req)) {
        reply_error(f.h.seq, EPROTO);
        shut_down();
        return;
    }
    wire::Reply r{};
    if (req.off < 0 || req.len == 0 || req.len > (std::uint64_t{1} << 40)) {
        r.error = EINVAL;
        return (void)reply(f.h.seq, r);
    }
    platform::streams::Mapping m;
    r.error = file_->mmap(static_cast<offset_t>(req.off), static_cast<size_t>(req.len), &m);
    if (r.error)
        return (void)reply(f.h.seq, r);
    // The region's memfd goes only to the connection whose stream's devmap accepted the range.
    r.a = static_cast<std::int64_t>(m.offset);
    r.b = static_cast<std::int64_t>(m.length);
    reply(f.h.seq, r, nullptr, 0, m.fd);
    ::close(m.fd);
}

void Connection::do_name(const Frame &f)
{
    std::string name;
    wire::Reply r{};
    if (!take_name(f, &name)) {
        r.error = EINVAL;
        return (void)reply(f.h.seq, r);
    }
    if (f.h.type == wire::kPush) {
        r.error = file_->push(name.c_str());
        host_.tables_changed();
    } else {
        bool found = false;
        r.error = file_->find(name.c_str(), &found);
        r.rval = found ? 1 : 0;
    }
    reply(f.h.seq, r);
}

void Connection::do_list(const Frame &f)
{
    std::vector<std::string> names;
    wire::Reply r{};
    r.error = file_->list(&names);
    std::vector<char> out(names.size() * wire::kListNameSize, '\0');
    for (size_t i = 0; i < names.size(); ++i)
        std::memcpy(out.data() + i * wire::kListNameSize, names[i].data(),
                    std::min(names[i].size(), wire::kListNameSize - 1));
    r.rval = static_cast<std::int32_t>(names.size());
    reply(f.h.seq, r, out.data(), r.error ? 0 : out.size());
}

bool Connection::do_admin(const Frame &f)
{
    wire::AdminReq req;
    std::vector<std::string> args;
    bool ok = take_record(f, &req) && req.argc >= 1 && req.argc <= wire::kMaxAdminArgs;
    if (ok) {
        const char *p = f.payload.data() + sizeof req;
        const char *end = f.payload.data() + f.payload.size();
        while (p < end && ok) {
            const char *nul = static_cast<const char *>(std::memchr(p, '\0', end - p));
            if (!nul)
                ok = false;
            else
                args.emplace_back(p, nul);
            p = nul ? nul + 1 : end;
        }
        ok = ok && args.size() == req.argc;
    }
    if (!ok) {
        reply_error(f.h.seq, EPROTO);
        return false;
    }
    {
        std::lock_guard<std::mutex> g(m_);
        admin_ = true;
    }
    std::string text;
    wire::Reply r{};
    bool stop = false;
    r.error = host_.admin(args, &text, &stop);
    reply(f.h.seq, r, text.data(), std::min<size_t>(text.size(), wire::kMaxPayload));
    if (stop)
        host_.request_stop();
    return true;
}

} // namespace platform::host
