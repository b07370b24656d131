// Malformed requests on the host's socket: each gets an EPROTO reply (or, when it cannot be
// read as a frame at all, just the end of the connection), the connection is closed, and the
// host goes on serving others.
#include "host_process.h"
#include "scenarios.h"
#include "wire_io.h"

#include "nvx_user.h"

#include <sys/stream.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace hosttest;
namespace wire = platform::host::wire;

namespace
{

int connect_raw(const std::string &root)
{
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::string path = root + "/" + wire::kSocketName;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

std::vector<char> frame(std::uint32_t magic, std::uint16_t version, std::uint16_t type,
                        std::uint32_t length, const std::vector<char> &payload)
{
    wire::Header h{magic, version, type, 7, length};
    std::vector<char> out(sizeof h + payload.size());
    std::memcpy(out.data(), &h, sizeof h);
    if (!payload.empty())
        std::memcpy(out.data() + sizeof h, payload.data(), payload.size());
    return out;
}

template <typename T> std::vector<char> bytes(const T &rec, const std::string &extra = "")
{
    std::vector<char> v(sizeof rec + extra.size());
    std::memcpy(v.data(), &rec, sizeof rec);
    if (!extra.empty())
        std::memcpy(v.data() + sizeof rec, extra.data(), extra.size());
    return v;
}

std::vector<char> open_payload(std::uint32_t model, std::uint32_t path_len, const std::string &p)
{
    wire::OpenReq req{3, model, path_len, 0};
    return bytes(req, p);
}

// Reads what the host answers until it closes: the error of the last reply (0 if none) and
// whether the connection ended within 5 s.
struct Outcome {
    int error = 0;
    bool closed = false;
};
Outcome read_until_closed(int s)
{
    Outcome o;
    for (;;) {
        pollfd p{s, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            return o;
        wire::Header h;
        if (wire::recv_all(s, &h, sizeof h) != 0) {
            o.closed = true;
            return o;
        }
        std::vector<char> payload(h.length);
        if (h.length > 1 << 20 || wire::recv_all(s, payload.data(), h.length) != 0) {
            o.closed = true;
            return o;
        }
        wire::Reply r{};
        if (payload.size() >= sizeof r)
            std::memcpy(&r, payload.data(), sizeof r);
        o.error = r.error;
    }
}

} // namespace

class MalformedTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(host.start(streamhost_path(), {"--modload", thost_path()})) << host.error();
    }
    void TearDown() override { EXPECT_EQ(host.stop(), 0) << host.output(); }
    HostProcess host;
};

TEST_F(MalformedTest, EveryMalformedRequestClosesOnlyItsConnection)
{
    const std::string dev = "/dev/thost";
    wire::IoctlReq ioc{TH_ECHO, 0, 10, 10}; // says 10 bytes follow, 3 do
    wire::PutmsgReq pm{1, 100, -1, 0};      // says 100 control bytes, none follow
    wire::PutmsgReq neg{1, -5, -1, 0};      // a negative length other than -1
    wire::GetmsgReq gm{0, 1 << 30, -1, -1}; // a part bigger than a frame may carry
    struct Case {
        const char *name;
        bool open_first; // a valid Open precedes the bad frame
        std::vector<char> bytes;
        int expected_error; // 0: connection just ends (nothing could be answered)
    } cases[] = {
        {"bad magic", false, frame(0x12345678, 1, wire::kOpen, 0, {}), EPROTO},
        {"bad version", false, frame(wire::kMagic, 9, wire::kOpen, 0, {}), EPROTO},
        {"unknown type", false, frame(wire::kMagic, 1, 99, 0, {}), EPROTO},
        {"reply type sent by a client", false, frame(wire::kMagic, 1, wire::kReply, 0, {}), EPROTO},
        {"payload over the limit", false,
         frame(wire::kMagic, 1, wire::kIoctlStr, (1u << 20) + 1, {}), EPROTO},
        {"request before open", false,
         frame(wire::kMagic, 1, wire::kIoctlStr, sizeof ioc + 10, bytes(ioc, "0123456789")),
         EPROTO},
        {"open with an unknown data model", false,
         frame(wire::kMagic, 1, wire::kOpen, sizeof(wire::OpenReq) + dev.size(),
               open_payload(0x42, static_cast<std::uint32_t>(dev.size()), dev)),
         EPROTO},
        {"open whose path length disagrees", false,
         frame(wire::kMagic, 1, wire::kOpen, sizeof(wire::OpenReq) + dev.size(),
               open_payload(IOC_NATIVE, 3, dev)),
         EPROTO},
        {"open of an empty path", false,
         frame(wire::kMagic, 1, wire::kOpen, sizeof(wire::OpenReq),
               open_payload(IOC_NATIVE, 0, "")),
         EPROTO},
        {"ioctl data shorter than announced", true,
         frame(wire::kMagic, 1, wire::kIoctlStr, sizeof ioc + 3, bytes(ioc, "abc")), EPROTO},
        {"putmsg parts longer than the frame", true,
         frame(wire::kMagic, 1, wire::kPutmsg, sizeof pm, bytes(pm)), EPROTO},
        {"putmsg with a negative part length", true,
         frame(wire::kMagic, 1, wire::kPutmsg, sizeof neg, bytes(neg)), EPROTO},
        {"getmsg asking for too much", true,
         frame(wire::kMagic, 1, wire::kGetmsg, sizeof gm, bytes(gm)), EPROTO},
        {"interrupt of the wrong size", true,
         frame(wire::kMagic, 1, wire::kInterrupt, 4, std::vector<char>(4, 0)), EPROTO},
        {"second open on an open stream", true,
         frame(wire::kMagic, 1, wire::kOpen, sizeof(wire::OpenReq) + dev.size(),
               open_payload(IOC_NATIVE, static_cast<std::uint32_t>(dev.size()), dev)),
         EPROTO},
        {"half a header, then the end", false, std::vector<char>(7, 'x'), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int s = connect_raw(host.root());
        ASSERT_GE(s, 0);
        if (c.open_first) {
            auto f = frame(wire::kMagic, 1, wire::kOpen, sizeof(wire::OpenReq) + dev.size(),
                           open_payload(IOC_NATIVE, static_cast<std::uint32_t>(dev.size()), dev));
            ASSERT_EQ(::write(s, f.data(), f.size()), static_cast<ssize_t>(f.size()));
            wire::Header h;
            wire::Reply r;
            ASSERT_EQ(wire::recv_all(s, &h, sizeof h), 0);
            ASSERT_EQ(wire::recv_all(s, &r, sizeof r), 0);
            ASSERT_EQ(r.error, 0) << "the valid open";
        }
        ASSERT_EQ(::write(s, c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
        if (c.expected_error == 0)
            ::shutdown(s, SHUT_WR);
        Outcome o = read_until_closed(s);
        EXPECT_TRUE(o.closed) << "the host closed the connection";
        EXPECT_EQ(o.error, c.expected_error);
        ::close(s);
        // The host still serves everyone else.
        int fd = open_thost();
        ASSERT_GE(fd, 0);
        char data[4] = "abc";
        EXPECT_EQ(th_ioctl(fd, TH_ECHO, data, 3), 3);
        nvx_close(fd);
    }
    // Every stream those connections opened was closed again.
    int fd = open_thost();
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 200 && stats_of(fd).open_now != 1; ++i)
        ::usleep(10000);
    EXPECT_EQ(stats_of(fd).open_now, 1u);
    nvx_close(fd);
}
