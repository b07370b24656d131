// Test driver "tdrv" (clone node /dev/tdrv, normal node /dev/tdrv_n5 with minor 5, devmap) and
// test modules "tmodA", "tmodB" (pass-through) and "tsrv" (write-side service procedure),
// installed as built-in modules. Every open and close is logged in order.
#ifndef NVX_TESTS_STREAMS_TEST_DRIVER_H
#define NVX_TESTS_STREAMS_TEST_DRIVER_H

#include <sys/stream.h>
#include <sys/umem.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tdrv
{

// Ioctl commands of the driver.
enum : int {
    TD_ECHO = 0x100,    // ACK with the same data, rval 42
    TD_INFO = 0x101,    // ACK with Info
    TD_NAK = 0x102,     // NAK with the int in the data as ioc_error
    TD_HOLD = 0x103,    // keep the M_IOCTL unanswered (answer later with ack_held)
    TD_ACK_ERR = 0x104, // ACK with ioc_error EIO
    TD_SLEEP = 0x105,   // cv_timedwait_sig up to 10 s in the put procedure; NAK EINTR if
                        // interrupted, ACK rval 1 on timeout
};

struct Info {
    unsigned ioc_flag;
    int pid;   // ddi_get_pid() in the put procedure
    int uid;   // ioc_cr->cr_uid
    int count; // ioc_count
};

std::vector<std::string> take_log();

int install(); // driver "tdrv" and the non-STREAMS driver "tplain"
void uninstall();
int install_modules(); // "tmods": tmodA, tmodB, tsrv
void uninstall_modules();

// The last M_PROTO/M_PCPROTO seen by the driver's write put.
struct LastProto {
    unsigned char type = 0;
    std::string bytes;
    std::thread::id thread;
    int pid = 0;
};
LastProto last_proto();

// Answers the held ioctl of the stream with minor `minor` (ACK, rval 7, data "late").
bool ack_held(unsigned minor);
// Kernel address of the devmap region of a minor (nullptr before its first mapping).
void *region(unsigned minor);
constexpr size_t kRegionSize = 2 * PAGESIZE;

extern std::atomic<long> moda_puts; // put procedure calls of tmodA (both sides)

} // namespace tdrv

#endif
