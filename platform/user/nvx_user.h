/*
 * The platform's user-level calls, as the capture library and the autopush tool use them.
 *
 * On the target these are the system calls open, close, ioctl, putmsg, mmap and munmap on
 * STREAMS devices. Here a device lives in the host process (streamhost): opening a device path
 * makes one Unix-socket connection to the host, and that connection's descriptor is the
 * stream. Everything else (paths the host does not know, descriptors that are not streams)
 * goes to the C library unchanged, so the calls can replace the system calls everywhere.
 *
 * Naming: Linux already has open, close, ioctl, mmap and munmap, so the calls are named
 * nvx_open, nvx_close, nvx_ioctl, nvx_mmap and nvx_munmap. Linux has no putmsg or getmsg; they
 * are provided under their platform names (and as nvx_putmsg, nvx_getmsg). A source file that
 * wants to read exactly like platform code defines NVX_USER_PLATFORM_NAMES before including
 * this header; then open(...), close(...), ioctl(...), mmap(...) and munmap(...) are
 * function-like macros for the nvx_ calls. (They would also rename member calls such as
 * stream.open(...), so only files written as platform code should ask for them.)
 *
 * The host: the calls connect to <root>/streamhost.sock, where <root> is $NVX_ROOT or, when it
 * is unset, /tmp/nvx-<effective uid> (the host's default too). nvx_platform_path() maps a
 * platform file such as "/etc/name_to_major" to <root>/etc/name_to_major.
 *
 * Semantics (as on the target, see the platform reference, "User-level calls"):
 *   - nvx_open(path, oflag): a path under "/dev/" that the host knows opens that device (a
 *     clone device gives a new stream each time). Errors: the open routine's errno. A path the
 *     host does not know, or any path when no host runs, is opened by the C library.
 *   - nvx_ioctl(fd, I_STR, struct strioctl *): sends ic_len bytes at ic_dp as the M_IOCTL's
 *     data, waits up to ic_timout seconds (INFTIM: for ever, 0: 15 s); on M_IOCACK copies at
 *     most the original ic_len bytes of the reply to ic_dp, sets ic_len to the bytes copied and
 *     returns ioc_rval; on M_IOCNAK returns -1 with errno = ioc_error (EINVAL when 0); ETIME on
 *     timeout. Also on a stream: SAD_SAP, SAD_GAP (struct strapush *, both versions),
 *     SAD_VML (struct str_list *), I_PUSH and I_FIND (module name), I_POP, I_LIST
 *     (struct str_list * or NULL), I_FLUSH (FLUSHR/FLUSHW/FLUSHRW). Other requests on a
 *     stream fail with EINVAL.
 *   - putmsg(fd, ctl, data, flags): ctl becomes M_PROTO, or M_PCPROTO with RS_HIPRI; it returns
 *     when the driver's put procedure has returned (its result is 0 whatever the driver did).
 *   - A signal caught while a call waits for the host (putmsg, ioctl, getmsg) is passed on to
 *     the host as a signal to the stream's process context: the driver's cv_timedwait_sig
 *     returns 0 and the stream head's own waits end with EINTR. The call then returns what the
 *     host answered (putmsg usually 0: the put procedure has returned).
 *   - nvx_mmap(addr, len, prot, flags, fd, off) on a stream asks the driver's devmap entry; the
 *     mapping covers the length the driver accepted (whole 8 KiB pages, so a region whose size
 *     is not a multiple of 8 KiB is still wholly visible). nvx_munmap of that address removes
 *     the whole mapping. Errors: the devmap entry's errno (ENXIO ...), ENODEV no devmap.
 *   - nvx_close(fd): closes the stream in the host (its modules and driver close routines
 *     run). The exit of the process does the same.
 *
 * Threads: the calls are thread-safe. Requests on one stream are served one at a time (a
 * second thread's request waits for the first one's reply). A forked child shares its
 * parent's connections; only one of them should use a stream.
 *
 * Word sizes: the header and the library build for 32-bit and 64-bit programs alike and work
 * against a host of either word size.
 */
#ifndef NVX_PLATFORM_USER_NVX_USER_H
#define NVX_PLATFORM_USER_NVX_USER_H

#include <sys/types.h>

#include <sys/sad.h>
#include <sys/stropts.h>

#ifdef __cplusplus
extern "C" {
#endif

int nvx_open(const char *path, int oflag, ...);
int nvx_close(int fd);
int nvx_ioctl(int fd, int request, ...);
int nvx_putmsg(int fd, const struct strbuf *ctlptr, const struct strbuf *dataptr, int flags);
int nvx_getmsg(int fd, struct strbuf *ctlptr, struct strbuf *dataptr, int *flagsp);
void *nvx_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);
int nvx_munmap(void *addr, size_t len);

/* The platform's own names of the two calls Linux does not have. */
int putmsg(int fd, const struct strbuf *ctlptr, const struct strbuf *dataptr, int flags);
int getmsg(int fd, struct strbuf *ctlptr, struct strbuf *dataptr, int *flagsp);

/* Whether fd is an open stream of the host. */
int nvx_is_stream(int fd);

/* The host's root directory ($NVX_ROOT or /tmp/nvx-<euid>), and a platform file's path under
 * it: nvx_platform_path("/etc/name_to_major") is "<root>/etc/name_to_major". Paths that do
 * not start with "/etc/" are returned unchanged. The result lives in a per-thread buffer that
 * the next call in the same thread overwrites. */
const char *nvx_root_dir(void);
const char *nvx_platform_path(const char *path);

#ifdef NVX_USER_PLATFORM_NAMES
#define open(...)   nvx_open(__VA_ARGS__)
#define close(fd)   nvx_close(fd)
#define ioctl(...)  nvx_ioctl(__VA_ARGS__)
#define mmap(...)   nvx_mmap(__VA_ARGS__)
#define munmap(...) nvx_munmap(__VA_ARGS__)
#endif

#ifdef __cplusplus
}
#endif

#endif /* NVX_PLATFORM_USER_NVX_USER_H */
