// A streamhost child process on a temporary root directory, for the cross-process tests.
//
//   HostProcess h;
//   ASSERT_TRUE(h.start(streamhost_path, {"--modload", thost_path})) << h.error();
//   ... nvx_open("/dev/thost") ... (NVX_ROOT points at h.root() while it runs)
//   h.ctl({"stats"}, &text);
//   h.stop();   // ctl stop, then SIGKILL if it does not exit within 10 s
#ifndef NVX_TESTS_HOST_HOST_PROCESS_H
#define NVX_TESTS_HOST_HOST_PROCESS_H

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace hosttest
{

class HostProcess
{
  public:
    HostProcess() = default;
    ~HostProcess();
    HostProcess(const HostProcess &) = delete;
    HostProcess &operator=(const HostProcess &) = delete;

    // Starts the host and waits (10 s at most) until its socket answers.
    bool start(const std::string &exe, const std::vector<std::string> &args);
    // Stops it; returns its exit status (-1 when it had to be killed or was not running).
    int stop();

    // One admin command; returns the host's errno answer (0 success).
    int ctl(const std::vector<std::string> &args, std::string *text = nullptr);
    // The "stats" counters as numbers.
    std::map<std::string, long long> stats();

    pid_t pid() const { return pid_; }
    const std::string &root() const { return root_; }
    const std::string &error() const { return error_; }
    // What the host wrote on standard output and standard error.
    std::string output() const;

  private:
    pid_t pid_ = -1;
    std::string root_;
    std::string error_;
};

// Entries of /proc/<pid>/fd and /proc/<pid>/task.
std::size_t count_fds(pid_t pid);
std::size_t count_threads(pid_t pid);

// Runs a shell command bounded by timeout_s; returns its exit status (-1 on a signal).
int sh(const std::string &cmd, int timeout_s = 20, std::string *out = nullptr);

} // namespace hosttest

#endif
