// Runs a program as a child process with its output captured, bounded in time.
#ifndef NVX_TESTS_NVXPUSH_RUN_PROGRAM_H
#define NVX_TESTS_NVXPUSH_RUN_PROGRAM_H

#include <string>
#include <vector>

namespace pushtest
{

struct Outcome {
    int status = -1; // exit status; -1 when killed by a signal or after the time limit
    bool timed_out = false;
    std::string out; // standard output
    std::string err; // standard error
};

// Runs exe with argv (argv[0] included, so the program's own name can be chosen) and
// NVX_ROOT set to root (left as the caller's when root is empty). Standard input is
// /dev/null. The child is killed after timeout_s seconds.
Outcome run_program(const std::string &exe, const std::vector<std::string> &argv,
                    const std::string &root, int timeout_s = 30);

} // namespace pushtest

#endif
