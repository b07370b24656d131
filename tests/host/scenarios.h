// The cross-process checks that run against a host of this tree's word size and, in the
// cross-model test, against one of the other word size.
#ifndef NVX_TESTS_HOST_SCENARIOS_H
#define NVX_TESTS_HOST_SCENARIOS_H

#include "host_process.h"
#include "thost.h"

#include <string>

namespace hosttest
{

// I_STR on fd; returns ioctl's result, *len the reply bytes.
int th_ioctl(int fd, int cmd, void *data, int len, int *out_len = nullptr);
th_info info_of(int fd);
th_stats stats_of(int fd);

// Opens /dev/thost (ASSERT inside the scenario functions).
int open_thost();

// The paths of this tree's programs and kernel objects.
std::string streamhost_path();
std::string thost_path();

// Scenario bodies (gtest assertions inside).
void check_clone_opens();
void check_ioctl_ack_and_nak();
void check_putmsg_blocks();
void check_signal_ends_wait();
void check_mapping(bool check_model_native = true);
void check_sad(HostProcess &h);

} // namespace hosttest

#endif
