/*
 * Stream heads: the user-level side of the emulated STREAMS kernel, as a C++ API.
 *
 * A StreamFile is one open of a STREAMS device (what a file descriptor is on the target). The
 * host serves these over its socket; tests and other platform code call them directly. Nothing
 * here knows about transports.
 *
 * Usage:
 *
 *   using namespace platform::streams;
 *   Caller me{.pid = 4711, .uid = 0, .gid = 0, .model = IOC_ILP32};
 *   FilePtr f;
 *   if (int err = open("/dev/nvx", FREAD | FWRITE, me, &f)) ...;   // clone open: f->dev()
 *   IoctlResult r;
 *   err = f->ioctl_str(0x7001, 0, &req, sizeof req, &reply, sizeof reply, &r); // r.rval, r.len
 *   strbuf ctl{0, 4, buf};
 *   err = f->putmsg(&ctl, nullptr, RS_HIPRI);  // driver's write put runs in this thread
 *   Mapping m;
 *   err = f->mmap(0, 65536, &m);                // m.fd (caller closes), m.offset, m.length
 *   f->interrupt();                             // from another thread: EINTR / signal wakeup
 *   f.reset();                                  // last close: modules popped, driver closed
 *
 * Every call returns 0 or an errno value (the target's numbers, which Linux shares) unless its
 * comment says otherwise. Every request runs with the caller's process context set in the
 * calling thread, so ddi_get_pid() and cv_timedwait_sig() see the caller.
 *
 * Concurrency: the calls of one StreamFile may come from several threads (e.g. interrupt() while
 * another thread waits in putmsg). Requests that change the plumbing (push, pop, close) are
 * serialised per stream; I_STR ioctls run one at a time per stream.
 */
#ifndef NVX_PLATFORM_STREAMS_STREAM_HEAD_H
#define NVX_PLATFORM_STREAMS_STREAM_HEAD_H

#include <sys/kfile.h>
#include <sys/stream.h>
#include <sys/stropts.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct stdata;

namespace platform::streams
{

// The process behind an open file: its credentials and its data model.
struct Caller {
    pid_t pid = 0;
    uid_t uid = 0; // 0 is privileged (drv_priv)
    gid_t gid = 0;
    uint_t model = IOC_NATIVE; // IOC_ILP32 or IOC_LP64: ioc_flag of its ioctls, devmap's model
};

// Result of an I_STR ioctl that was acknowledged.
struct IoctlResult {
    int rval = 0;   // ioc_rval of the M_IOCACK
    size_t len = 0; // bytes of reply data copied to the caller's buffer
};

// Result of a mapping request: map `length` bytes of `fd` at `offset` (MAP_SHARED).
struct Mapping {
    int fd = -1;       // a descriptor of the region's memfd, owned by the caller (close it)
    off_t offset = 0;  // offset in fd of the mapped part
    size_t length = 0; // bytes accepted by the driver, a whole number of 8 KiB pages
};

// Default timeout of an I_STR ioctl whose ic_timout is 0.
constexpr int kDefaultIoctlTimeoutSeconds = 15;

class StreamFile;
using FilePtr = std::unique_ptr<StreamFile>;

// Opens the device at `path` ("/dev/<minor node name>"). A clone node makes a new stream whose
// minor the driver chooses (dev() tells it); a normal node opens that minor, re-opening the
// stream if it is already open (the driver's and modules' open run again, nothing is pushed).
// A new stream gets its autopush modules (SAD configuration), each opened with MODOPEN.
// Errors: ENOENT no such device, ENXIO/ENOMEM/EBUSY/... from the open routines, ENOSTR the
// driver is not a STREAMS driver, EINVAL an autopushed module is unknown.
int open(const std::string &path, int oflag, const Caller &caller, FilePtr *out);

class StreamFile
{
  public:
    ~StreamFile(); // closes if still open
    StreamFile(const StreamFile &) = delete;
    StreamFile &operator=(const StreamFile &) = delete;

    // Device number of the stream (after a clone open: the minor the driver picked).
    dev_t dev() const;
    int oflag() const { return oflag_; }
    const Caller &caller() const { return caller_; }

    // Closes this open. The last close of the stream flushes it and dismantles it from the
    // top: each module's close (after its queues were flushed), then the driver's close.
    // Later calls on this file return EBADF. Always 0.
    int close();

    // I_STR: sends M_IOCTL (ioc_cmd = cmd, fresh ioc_id, ioc_count = in_len, ioc_flag = the
    // caller's model, ioc_cr = the caller's cred) with the in_len bytes at `in` as M_DATA and
    // waits up to `timout` seconds (0: 15 s, INFTIM: forever) for the M_IOCACK/M_IOCNAK.
    // On ACK copies min(ioc_count, out_cap) bytes to `out` and fills `res`.
    // Errors: ioc_error of the NAK (EINVAL when it is 0) or of the ACK, ETIME on timeout,
    // EINTR when interrupted, ENOSR no message memory, EINVAL bad length, or the stream's
    // M_ERROR error.
    int ioctl_str(int cmd, int timout, const void *in, size_t in_len, void *out, size_t out_cap,
                  IoctlResult *res);

    // I_PUSH / I_POP / I_LIST / I_FIND / I_FLUSH.
    int push(const char *module); // EINVAL unknown/too long name or too many modules
    int pop();                    // EINVAL no module pushed
    int list(std::vector<std::string> *names) const; // topmost module first, driver last
    int find(const char *module, bool *found) const; // EINVAL bad name
    int flush(int flags);                            // FLUSHR/FLUSHW/FLUSHRW: M_FLUSH sent down

    // putmsg: ctl (if non-null and len >= 0) becomes M_PROTO, or M_PCPROTO with RS_HIPRI;
    // data (if non-null and len >= 0) becomes M_DATA. The message is sent down in this
    // thread and the call returns when the driver's put procedure (and everything it called)
    // returned. Errors: EINVAL bad flags or RS_HIPRI without control part, ERANGE size,
    // EAGAIN flow-controlled with FNDELAY/FNONBLOCK, EINTR interrupted while flow-controlled,
    // ENOSR no message memory, the stream's error after M_ERROR, ENXIO after M_HANGUP.
    int putmsg(const struct strbuf *ctl, const struct strbuf *data, int flags);
    int write(const void *buf, size_t len); // one M_DATA message (len 0: nothing is sent)

    // getmsg: takes the first message waiting at the stream head (*flagsp 0) or the first
    // high-priority one (RS_HIPRI), waiting up to timeout_ms (-1 forever; 0 do not wait) and
    // honouring FNDELAY/FNONBLOCK. Control blocks go to ctl, data blocks to data (len -1 when
    // there is no such part); *more gets MORECTL/MOREDATA when parts did not fit (the rest
    // stays waiting). *flagsp is set to RS_HIPRI or 0. Errors: EAGAIN nothing waiting without
    // waiting, ETIME timeout, EINTR interrupted, EBADMSG a non-data message, the M_ERROR error.
    // After M_HANGUP an empty stream returns 0 with both parts absent.
    int getmsg(struct strbuf *ctl, struct strbuf *data, int *flagsp, int *more,
               int timeout_ms = -1);
    // read: the data bytes of waiting messages (byte-stream mode; control parts are EBADMSG).
    int read(void *buf, size_t len, size_t *got, int timeout_ms = -1);

    // mmap path: the driver's devmap entry (D_DEVMAP drivers) is called with (off, len, the
    // caller's model); it must export ddi_umem memory with devmap_umem_setup. Errors: ENODEV
    // not a devmap driver, the driver's errno (ENXIO ...), ENXIO when it set up nothing.
    int mmap(offset_t off, size_t len, Mapping *out);

    // Marks a signal pending for this file's process context: a request waiting interruptibly
    // (ioctl, getmsg, flow control, the driver's cv_timedwait_sig) ends with EINTR / 0. The
    // mark is consumed when the request in progress returns; with no request in progress it
    // interrupts the next one. Callable from any thread.
    void interrupt();
    // Forgets a signal marked by interrupt() that no request took (it came after the request
    // it was meant for had returned), so that it cannot end the next request. Any thread.
    void clear_interrupt();

    // Stream-head read side: messages waiting, and messages received since open.
    size_t messages_waiting() const;
    uint64_t messages_received() const;

    // Test support: hand a message to the stream as if it came from the bottom (put to the
    // queue above the driver's read queue) or from the top (put below the stream head's write
    // queue, bypassing putmsg's checks). Runs in the calling thread with this file's context.
    void inject_up(mblk_t *mp);
    void inject_down(mblk_t *mp);
    // The driver's read queue and the stream head's write queue of this stream.
    queue_t *driver_rq() const;
    queue_t *head_wq() const;

    // Private: made by open().
    StreamFile(std::shared_ptr<stdata> stream, int oflag, const Caller &caller);
    stdata *stream() const { return stream_.get(); }

  private:
    friend int open(const std::string &path, int oflag, const Caller &caller, FilePtr *out);
    std::shared_ptr<stdata> stream_;
    int oflag_;
    Caller caller_;

  public:
    struct Context; // private to the stream head

  private:
    std::unique_ptr<Context> ctx_; // process context of this open (pid, cred, signal flag)
    bool closed_ = false;
};

} // namespace platform::streams

#endif
