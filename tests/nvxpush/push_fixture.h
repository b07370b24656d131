// The autopush tool's tests against a real streamhost: one host per test suite (NICs hme0,
// hme1 style 2 and qfe0 style 1; nvx and the pass-through modules moda and modb loaded), and
// the tool run as a child process with NVX_ROOT on the host's root.
//
// Each test is run with this tree's tool and with the other word size's tool (the 32-bit tool
// against the 64-bit host and the reverse), which is skipped when that tree is not built.
#ifndef NVX_TESTS_NVXPUSH_PUSH_FIXTURE_H
#define NVX_TESTS_NVXPUSH_PUSH_FIXTURE_H

#include "run_program.h"
#include "stream_host.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace pushtest
{

enum class Tool { native, peer };
std::string tool_name(const ::testing::TestParamInfo<Tool> &info);
std::string tool_path(Tool tool);

// The usage text as the tool prints it for a program name.
std::string usage_text(const std::string &program);

// Whether err is the usage text for the program name argv0 that exe was run with. A 32-bit
// program may run through an emulator registered with binfmt_misc that hands it the path it
// was executed by as its name: for those, that name is accepted too.
bool is_usage(const std::string &err, const std::string &exe, const std::string &argv0);

// Replaces "{hme}", "{qfe}" (the drivers' majors on the host) in text.
std::string expand(const std::string &text, const std::map<std::string, int> &majors);

// Splits "moda modb" into names ("" gives none).
std::vector<std::string> words(const std::string &text);

// A host shared by the tests of one suite.
struct SuiteHost {
    std::unique_ptr<StreamHost> host;
    std::string failure;               // why it did not start ("" when it runs)
    std::string saved_table;           // its own etc/name_to_major
    std::map<std::string, int> majors; // hme and qfe

    // Starts the host with args after --root (once per suite, from SetUpTestSuite).
    void start(const std::vector<std::string> &args);
    void stop() { host.reset(); }
};

class HostSuite : public ::testing::TestWithParam<Tool>
{
  protected:
    // NICs hme0, hme1 (style 2), qfe0 (style 1); nvx, moda and modb loaded.
    static std::vector<std::string> default_host_args();

    virtual SuiteHost &suite() const = 0;

    // Fails when the suite's host is not running; skips the other word size's tool when it
    // is not built; restores the host's name_to_major and clears the autopush lists of hme
    // and qfe.
    void SetUp() override;

    // Runs the tool (program name "nvxpush") against the suite's host.
    Outcome nvxpush(const std::vector<std::string> &args) const;

    StreamHost &host() const { return *suite().host; }
    int major(const std::string &driver) const { return suite().majors.at(driver); }
    std::string expand(const std::string &text) const
    {
        return pushtest::expand(text, suite().majors);
    }

    std::string tool_; // path of the tool under test
};

} // namespace pushtest

#endif
