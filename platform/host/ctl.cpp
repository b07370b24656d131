#include "ctl.h"

#include "wire_io.h"

#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::host
{

namespace
{

int connect_to(const std::string &path, int *err)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        *err = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *err = errno;
        return -1;
    }
    if (::connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        *err = errno;
        ::close(s);
        return -1;
    }
    return s;
}

int exchange(int s, const std::vector<std::string> &args, std::string *text)
{
    std::string blob;
    for (const auto &a : args)
        blob.append(a).push_back('\0');
    wire::AdminReq req{static_cast<std::uint32_t>(args.size()), 0};
    wire::Header h = wire::make_header(wire::kAdmin, 1, sizeof req + blob.size());
    iovec iov[3] = {{&h, sizeof h}, {&req, sizeof req}, {blob.data(), blob.size()}};
    if (int err = wire::send_all(s, iov, 3))
        return err;
    wire::Header rh;
    wire::Reply r;
    if (int err = wire::recv_all(s, &rh, sizeof rh))
        return err;
    if (rh.magic != wire::kMagic || rh.type != wire::kReply || rh.length < sizeof r ||
        rh.length > wire::kMaxPayload + sizeof r)
        return EPROTO;
    if (int err = wire::recv_all(s, &r, sizeof r))
        return err;
    if (r.len != rh.length - sizeof r)
        return EPROTO;
    text->resize(r.len);
    if (r.len)
        if (int err = wire::recv_all(s, text->data(), r.len))
            return err;
    return r.error;
}

} // namespace

int ctl_command(const std::string &root, const std::vector<std::string> &args, std::string *text)
{
    int err = 0;
    int s = connect_to(root + "/" + wire::kSocketName, &err);
    if (s < 0) {
        *text = "no host on " + root + ": " + std::strerror(err) + "\n";
        return err;
    }
    err = exchange(s, args, text);
    ::close(s);
    return err;
}

int run_ctl(const std::string &root, const std::vector<std::string> &args)
{
    std::string text;
    int err = 0;
    int s = connect_to(root + "/" + wire::kSocketName, &err);
    if (s < 0) {
        std::fprintf(stderr, "streamhost: no host on %s: %s\n", root.c_str(), std::strerror(err));
        return 2;
    }
    err = exchange(s, args, &text);
    ::close(s);

    if (err) {
        std::fprintf(stderr, "streamhost: %s", text.empty() ? "" : text.c_str());
        if (text.empty())
            std::fprintf(stderr, "%s: %s\n", args[0].c_str(), std::strerror(err));
        return 1;
    }
    std::fputs(text.c_str(), stdout);
    return 0;
}

} // namespace platform::host
