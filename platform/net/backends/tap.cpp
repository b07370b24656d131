// TAP backend (see tap.h).
//
// Threads: one reader thread per backend (interrupt context of its NIC) waits in poll on the
// device and on an eventfd that stop() signals. transmit() runs in any sender's thread and
// only calls write(2) on the non-blocking descriptor, which the kernel serialises per frame.
#include "backends/tap.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace platform::net
{

namespace
{

constexpr std::size_t kMaxFrame = 65536; // a TAP read never returns more than one frame

struct TapState {
    std::string ifname;
    int fd = -1;   // the device, non-blocking
    int stop = -1; // eventfd: stop() writes it
    std::thread thread;
    TapCounters counters;
};

void reader(TapState *st, NicPort *port)
{
    std::vector<std::uint8_t> buf(kMaxFrame);
    for (;;) {
        pollfd p[2] = {{st->fd, POLLIN, 0}, {st->stop, POLLIN, 0}};
        int n = ::poll(p, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (p[1].revents)
            return;
        if (p[0].revents & (POLLERR | POLLNVAL))
            return;
        // Drain what is waiting, then wait again.
        for (;;) {
            ssize_t got = ::read(st->fd, buf.data(), buf.size());
            if (got <= 0)
                break;
            st->counters.rx_frames.fetch_add(1, std::memory_order_relaxed);
            st->counters.rx_bytes.fetch_add(static_cast<std::uint64_t>(got),
                                            std::memory_order_relaxed);
            port->receive(buf.data(), static_cast<std::size_t>(got));
        }
    }
}

int tap_start(void *priv, NicPort *port)
{
    auto *st = static_cast<TapState *>(priv);
    st->thread = std::thread(reader, st, port);
    return 0;
}

void tap_stop(void *priv)
{
    auto *st = static_cast<TapState *>(priv);
    if (!st->thread.joinable())
        return;
    std::uint64_t one = 1;
    while (::write(st->stop, &one, sizeof one) < 0 && errno == EINTR) {
    }
    st->thread.join();
    std::uint64_t drain;
    while (::read(st->stop, &drain, sizeof drain) < 0 && errno == EINTR) {
    }
}

void tap_transmit(void *priv, const std::uint8_t *frame, std::size_t len)
{
    auto *st = static_cast<TapState *>(priv);
    ssize_t n = ::write(st->fd, frame, len);
    if (n == static_cast<ssize_t>(len)) {
        st->counters.tx_frames.fetch_add(1, std::memory_order_relaxed);
        st->counters.tx_bytes.fetch_add(len, std::memory_order_relaxed);
    } else {
        st->counters.tx_dropped.fetch_add(1, std::memory_order_relaxed);
    }
}

void tap_destroy(void *priv)
{
    auto *st = static_cast<TapState *>(priv);
    if (st->fd >= 0)
        ::close(st->fd);
    if (st->stop >= 0)
        ::close(st->stop);
    delete st;
}

const BackendOps tap_ops = {
    "tap",        // name
    tap_start,    // start
    tap_stop,     // stop
    tap_transmit, // transmit
    tap_destroy,  // destroy
};

} // namespace

BackendPtr make_tap_backend(const TapConfig &cfg, std::string *error)
{
    auto say = [&](const std::string &what, int err) {
        if (error)
            *error = "tap " + cfg.ifname + ": " + what + ": " + std::strerror(err);
        return nullptr;
    };
    if (cfg.ifname.empty() || cfg.ifname.size() >= IFNAMSIZ)
        return say("bad interface name", EINVAL);
    int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return say("open /dev/net/tun", errno);
    ifreq ifr{};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::memcpy(ifr.ifr_name, cfg.ifname.c_str(), cfg.ifname.size());
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        int e = errno;
        ::close(fd);
        return say("TUNSETIFF", e);
    }
    int stop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0) {
        int e = errno;
        ::close(fd);
        return say("eventfd", e);
    }
    auto *st = new TapState;
    st->ifname.assign(ifr.ifr_name, strnlen(ifr.ifr_name, IFNAMSIZ));
    st->fd = fd;
    st->stop = stop;
    return std::make_unique<Backend>(&tap_ops, st);
}

const TapCounters *tap_counters(Backend &b)
{
    if (b.ops() != &tap_ops)
        return nullptr;
    return &static_cast<TapState *>(b.priv())->counters;
}

std::string tap_ifname(Backend &b)
{
    if (b.ops() != &tap_ops)
        return "";
    return static_cast<TapState *>(b.priv())->ifname;
}

} // namespace platform::net
