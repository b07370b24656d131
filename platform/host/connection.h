/*
 * One client connection of the host: one open stream (or one administrative session).
 *
 * Threads: the connection thread (run()) executes the requests one after another; it is the
 * stream's process context (the stream head sets the caller's pid and credentials, taken from
 * SO_PEERCRED, around every request). A reader thread reads the socket all the time, so that
 * while a request sleeps in the driver it still sees
 *   - an Interrupt for that request: the stream is interrupted as a signal would (the
 *     driver's cv_timedwait_sig returns 0, the stream head's waits end with EINTR);
 *   - the end of the connection (close, or the exit of the process): the stream is
 *     interrupted every 100 ms until the request has returned; then the connection thread
 *     closes the stream, so the driver's close routine runs;
 *   - a malformed frame: treated like the end, after an EPROTO reply.
 * Only the connection thread writes to the socket.
 *
 * Lock key (m_): p pending_, busy_, busy_seq_, raised_seq_, hangup_, bad_, file_ (written
 * under m_ by the connection thread, read under m_ by the reader); i set before the threads
 * start. Nothing else is called with m_ held except StreamFile::interrupt() and
 * clear_interrupt(), which take only the stream-head lock.
 */
#ifndef NVX_PLATFORM_HOST_CONNECTION_H
#define NVX_PLATFORM_HOST_CONNECTION_H

#include "wire.h"

#include "streams/stream_head.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace platform::host
{

class Host;

struct Frame {
    wire::Header h{};
    std::vector<char> payload;
};

class Connection
{
  public:
    Connection(Host &host, int fd, const ucred &peer, std::uint64_t id);
    ~Connection(); // joins the threads (after finished())
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    void start();
    // Any thread: ends the connection as if the peer had closed it.
    void shut_down();
    bool finished() const { return finished_.load(std::memory_order_acquire); }

    struct Info {
        std::uint64_t id;
        pid_t pid;
        uid_t uid;
        bool admin;
        std::string path;
        dev_t dev;
        std::vector<std::string> modules;
    };
    // Any thread (the host's listing); the stream part is empty once it is closed.
    Info info();

  private:
    void run();
    void read_loop();
    // Connection thread: executes one request; false when the connection must end after it.
    bool execute(const Frame &f);
    // Marks request seq over (busy_ cleared, a stale interrupt forgotten).
    void finish_request(std::uint32_t seq);
    int reply(std::uint32_t seq, const wire::Reply &r, const void *data = nullptr, size_t len = 0,
              int fd = -1);
    int reply_error(std::uint32_t seq, int error)
    {
        wire::Reply r{};
        r.error = error;
        return reply(seq, r);
    }
    bool do_open(const Frame &f);
    void do_ioctl(const Frame &f);
    void do_putmsg(const Frame &f);
    void do_getmsg(const Frame &f);
    void do_mmap(const Frame &f);
    void do_name(const Frame &f);
    void do_list(const Frame &f);
    bool do_admin(const Frame &f);
    // Reader: marks the end of the connection and interrupts the request in progress until
    // it has returned.
    void end_reading(bool malformed);

    Host &host_;
    const int fd_;           // i
    const ucred peer_;       // i
    const std::uint64_t id_; // i
    std::thread thread_;
    std::thread reader_;
    std::atomic<bool> finished_{false};

    std::mutex m_;
    std::condition_variable cv_;
    std::optional<Frame> pending_;    // p: the request the connection thread is to execute
    bool busy_ = false;               // p: a request is pending or executing
    std::uint32_t busy_seq_ = 0;      // p: its number
    std::uint32_t raised_seq_ = 0;    // p: the request an Interrupt was raised for
    bool hangup_ = false;             // p: the peer is gone (or the host stops)
    bool bad_ = false;                // p: a malformed frame arrived
    platform::streams::FilePtr file_; // p: the stream
    std::string path_;                // p
    bool admin_ = false;              // connection thread only (and info() under m_)
};

} // namespace platform::host

#endif
