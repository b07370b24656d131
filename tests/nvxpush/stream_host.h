// A streamhost child process on a temporary root directory (the host tests' HostProcess),
// driven by its own command line (`streamhost --root DIR ctl ...`), for the autopush tool's
// tests.
#ifndef NVX_TESTS_NVXPUSH_STREAM_HOST_H
#define NVX_TESTS_NVXPUSH_STREAM_HOST_H

#include "host_process.h"
#include "run_program.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace pushtest
{

class StreamHost
{
  public:
    explicit StreamHost(std::string exe) : exe_(std::move(exe)) {}

    // Starts the host with args after --root, and waits (20 s at most) until it answers.
    bool start(const std::vector<std::string> &args) { return host_.start(exe_, args); }
    // ctl stop, then SIGKILL if it has not exited within 10 s. Returns the exit status, or -1
    // (killed, died by a signal, not running).
    int stop() { return host_.stop(); }

    Outcome ctl(const std::vector<std::string> &args) const;

    const std::string &root() const { return host_.root(); }
    const std::string &error() const { return host_.error(); }
    std::string output() const { return host_.output(); } // the host's standard output and error

    // <root>/etc/name_to_major, and the major the host gave a driver there (-1: none).
    std::string name_to_major_path() const { return root() + "/etc/name_to_major"; }
    int major_of(const std::string &driver) const;

  private:
    std::string exe_;
    hosttest::HostProcess host_;
};

// A fresh owner-only directory under /tmp ("" on failure), and its removal with everything
// under it.
std::string make_temp_root(const char *tag);
void remove_tree(const std::string &dir);

std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &text);

} // namespace pushtest

#endif
