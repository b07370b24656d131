// Failures of the administrative requests on a real host, what the tool reports, and what it
// leaves configured; the -p option; no host at all.
#include "push_fixture.h"
#include "sad_client.h"

#include "nvx_user.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <unistd.h>
#include <vector>
#include <string>

using namespace pushtest;

namespace
{

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// The host of every other suite: nvx, moda and modb loaded.
class SadFailureTest : public HostSuite
{
  protected:
    static void SetUpTestSuite() { shared.start(default_host_args()); }
    static void TearDownTestSuite() { shared.stop(); }
    SuiteHost &suite() const override { return shared; }
    static SuiteHost shared;
};
SuiteHost SadFailureTest::shared;

// Another minor of the driver is configured on its own: SAP_ALL overlaps it (EEXIST). Nothing
// of the driver's configuration is lost.
TEST_P(SadFailureTest, SapAllOverlappingAnotherMinorFails)
{
    ASSERT_EQ(sad_set(major("hme"), SAP_ONE, 3, 0, {"moda"}), 0);
    Outcome o = nvxpush({"hme0"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "SAD_SAP: SAP_ALL failed: hme: File exists\n");
    EXPECT_EQ(o.out, "");
    AutopushEntry e;
    EXPECT_EQ(sad_get(major("hme"), 0, &e), ENODEV) << "minor 0 stays unconfigured";
    ASSERT_EQ(sad_get(major("hme"), 3, &e), 0);
    EXPECT_EQ(e.modules, words("moda"));
    sad_clear_major(major("hme"), 3);
}

// The list read (minor 0) is cleared, the new one cannot be set: the list read is put back,
// with the command and minor it had.
TEST_P(SadFailureTest, FailedSapAllPutsTheListReadBack)
{
    ASSERT_EQ(sad_set(major("hme"), SAP_ONE, 0, 0, {"moda"}), 0);
    ASSERT_EQ(sad_set(major("hme"), SAP_ONE, 3, 0, {"modb"}), 0);
    Outcome o = nvxpush({"hme0"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "SAD_SAP: SAP_ALL failed: hme: File exists\n");
    AutopushEntry e;
    ASSERT_EQ(sad_get(major("hme"), 0, &e), 0) << "minor 0's list is back";
    EXPECT_EQ(e.cmd, static_cast<unsigned>(SAP_ONE));
    EXPECT_EQ(e.modules, words("moda"));
    ASSERT_EQ(sad_get(major("hme"), 3, &e), 0);
    EXPECT_EQ(e.modules, words("modb"));
    EXPECT_EQ(sad_get(major("hme"), 1, &e), ENODEV) << "and no more than it";
    sad_clear_major(major("hme"), 3);
}

// Every autopush record of the administrative driver is in use (ENOSR).
TEST_P(SadFailureTest, FullAutopushTable)
{
    constexpr unsigned kRecords = 64; // the administrative driver's table
    unsigned used = 0;
    while (used < kRecords + 1 && sad_set(major("hme"), SAP_ONE, used + 1, 0, {"moda"}) == 0)
        ++used;
    ASSERT_EQ(used, kRecords) << "the table holds " << kRecords << " records";
    Outcome o = nvxpush({"qfe0"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "SAD_SAP: SAP_ALL failed: qfe: Out of streams resources\n");
    EXPECT_EQ(sad_modules(major("qfe")), "none");
    sad_clear_major(major("hme"), kRecords);
    EXPECT_EQ(nvxpush({"qfe0"}).status, 0) << "a freed record is used again";
    EXPECT_EQ(sad_modules(major("qfe")), "nvx");
}

INSTANTIATE_TEST_SUITE_P(Nvxpush, SadFailureTest, ::testing::Values(Tool::native, Tool::peer),
                         tool_name);

// A host that does not know nvx (not loaded, no module directory): the new list names an
// unknown module (EINVAL) and -p finds no /dev/nvx.
class NoNvxTest : public HostSuite
{
  protected:
    static void SetUpTestSuite()
    {
        shared.start({"--nic", "hme0", "--nic", "qfe0,style=1", "--modload", MODA_PATH, "--modload",
                      MODB_PATH});
    }
    static void TearDownTestSuite() { shared.stop(); }
    SuiteHost &suite() const override { return shared; }
    static SuiteHost shared;
};
SuiteHost NoNvxTest::shared;

TEST_P(NoNvxTest, UnknownModuleInTheNewListPutsTheListReadBack)
{
    ASSERT_EQ(sad_set_all(major("hme"), {"moda", "modb"}), 0);
    Outcome o = nvxpush({"hme0"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "SAD_SAP: SAP_ALL failed: hme: Invalid argument\n");
    EXPECT_EQ(sad_modules(major("hme")), "moda modb") << "the old list is back";

    o = nvxpush({"qfe0"});
    EXPECT_EQ(o.status, 2) << "nothing to put back";
    EXPECT_EQ(o.err, "SAD_SAP: SAP_ALL failed: qfe: Invalid argument\n");
    EXPECT_EQ(sad_modules(major("qfe")), "none");
}

TEST_P(NoNvxTest, LoadFailsWithoutTheDriver)
{
    Outcome o = nvxpush({"-p"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "/dev/nvx: No such file or directory\n");
    EXPECT_EQ(o.out, "");
}

INSTANTIATE_TEST_SUITE_P(Nvxpush, NoNvxTest, ::testing::Values(Tool::native, Tool::peer),
                         tool_name);

// A host that finds nvx in its module directory: opening /dev/nvx loads it.
class LoadTest : public HostSuite
{
  protected:
    static void SetUpTestSuite()
    {
        shared.start({"--nic", "hme0", "--nic", "qfe0,style=1", "--module-path",
                      std::filesystem::path(NVX_SO_PATH).parent_path().string()});
    }
    static void TearDownTestSuite() { shared.stop(); }
    SuiteHost &suite() const override { return shared; }
    static SuiteHost shared;
};
SuiteHost LoadTest::shared;

TEST_P(LoadTest, LoadOpensTheDeviceSoThePlatformLoadsTheDriver)
{
    Outcome o = nvxpush({"-p"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
    // The driver is loaded and attached (its console lines), and the tool's stream is gone:
    // the host lists no stream other than the admin session asking.
    EXPECT_NE(host().ctl({"console"}).out.find("nvx0 is /pseudo/nvx@0"), std::string::npos);
    for (const std::string &line : lines(host().ctl({"streams"}).out))
        EXPECT_NE(line.find(" admin"), std::string::npos) << "a stream is left open: " << line;
    EXPECT_EQ(nvxpush({"-p"}).status, 0) << "again, with the driver loaded";
}

INSTANTIATE_TEST_SUITE_P(Nvxpush, LoadTest, ::testing::Values(Tool::native, Tool::peer), tool_name);

// No host runs: the administrative driver cannot be opened.
TEST(NvxpushNoHostTest, AdministrativeDriverCannotBeOpened)
{
    std::string root = make_temp_root("pushtest-nohost");
    ASSERT_FALSE(root.empty());
    for (Tool tool : {Tool::native, Tool::peer}) {
        std::string exe = tool_path(tool);
        if (tool == Tool::peer && ::access(exe.c_str(), X_OK) != 0)
            continue;
        SCOPED_TRACE(exe);
        Outcome o = run_program(exe, {"nvxpush", "hme0"}, root);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.err, "/dev/sad/admin: No such file or directory\n");
        o = run_program(exe, {"nvxpush", "-l", "hme0"}, root);
        EXPECT_EQ(o.status, 2);
        EXPECT_EQ(o.err, "/dev/sad/admin: No such file or directory\n");
        o = run_program(exe, {"nvxpush", "-v"}, root);
        EXPECT_EQ(o.status, 0) << "-v needs no host";
    }
    remove_tree(root);
}

} // namespace
