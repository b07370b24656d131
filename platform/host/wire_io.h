/*
 * Whole-frame reads and writes on a host connection, shared by the host and its clients.
 *
 * Every call retries after EINTR and after short transfers, so a frame is always sent or
 * received whole; sends use MSG_NOSIGNAL (a vanished peer is an EPIPE error, never a SIGPIPE).
 * Received descriptors other than the one asked for are closed at once, so a peer cannot
 * make the receiver keep descriptors it did not expect.
 */
#ifndef NVX_PLATFORM_HOST_WIRE_IO_H
#define NVX_PLATFORM_HOST_WIRE_IO_H

#include "wire.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform::host::wire
{

// Sends the iovecs whole; fd (>= 0) travels with the first byte. Returns 0 or an errno value.
inline int send_all(int sock, struct iovec *iov, int iovcnt, int fd = -1)
{
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    bool with_fd = fd >= 0;
    while (iovcnt > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(iovcnt);
        if (with_fd) {
            std::memset(control, 0, sizeof control);
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr *c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
        }
        ssize_t n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        with_fd = false;
        auto left = static_cast<size_t>(n);
        while (iovcnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --iovcnt;
        }
        if (iovcnt > 0 && left > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return 0;
}

// Reads exactly len bytes. *fd_out (if given and still -1) receives a descriptor passed with
// them. Returns 0, ECONNRESET when the peer closed before the first byte or in the middle, or
// an errno value.
inline int recv_all(int sock, void *buf, size_t len, int *fd_out = nullptr)
{
    auto *p = static_cast<char *>(buf);
    while (len > 0) {
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
        iovec iov{p, len};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                continue;
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                if (fd_out && *fd_out < 0)
                    *fd_out = fd;
                else
                    ::close(fd);
            }
        }
        if (n == 0)
            return ECONNRESET;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

inline Header make_header(std::uint16_t type, std::uint32_t seq, std::size_t length)
{
    return Header{kMagic, kVersion, type, seq, static_cast<std::uint32_t>(length)};
}

} // namespace platform::host::wire

#endif
