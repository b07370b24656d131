// The command line of nvxpush against a real host: every row of the command-line table, the
// device-name rules, adding and removing in every position, the refusals.
#include "push_fixture.h"
#include "sad_client.h"

#include "nvx_user.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

using namespace pushtest;

namespace
{

// Autopush lists of the drivers (SAP_ALL, every minor); "none": no configuration.
using Lists = std::map<std::string, std::string>;

struct CliCase {
    const char *name;
    Lists before;                  // set up before the run (drivers left out: none)
    std::vector<std::string> args; // after the program name
    int status;
    std::string out; // standard output ({hme}, {qfe}: the majors)
    std::string err; // standard error ("{usage}": the usage text for the name "nvxpush")
    Lists after;     // drivers whose list changed (the others must be as before)
};

const std::string k63(63, 'a');
const std::string k64(64, 'a');
const std::string k300(300, 'b');
const char *const kFull = "moda modb moda modb moda modb moda modb";

const std::vector<CliCase> kCases = {
    // The options.
    {"no argument: usage", {}, {}, 1, "", "{usage}", {}},
    {"-? prints the usage", {}, {"-?"}, 1, "", "{usage}", {}},
    {"-v prints the version", {}, {"-v"}, 0, "Quillmarch NVXPUSH Version 1\n", "", {}},
    {"-l without a device name: usage", {}, {"-l"}, 1, "", "{usage}", {}},
    {"a lone minus names no device: usage", {}, {"-"}, 1, "", "{usage}", {}},
    {"-l and a lone minus: usage", {}, {"-l", "-"}, 1, "", "{usage}", {}},
    {"an unknown option is the removal from driver x",
     {},
     {"-x"},
     2,
     "",
     "x not found in /etc/name_to_major\n",
     {}},

    // Listing.
    {"-l of a driver without configuration", {}, {"-l", "hme0"}, 0, "hme({hme}):\n", "", {}},
    {"-l of modules A and B",
     {{"hme", "moda modb"}},
     {"-l", "hme"},
     0,
     "hme({hme}): moda modb\n",
     "",
     {}},
    {"-l ignores a removal minus",
     {{"hme", "moda nvx"}},
     {"-l", "-hme1"},
     0,
     "hme({hme}): moda nvx\n",
     "",
     {}},
    {"-l of a full list",
     {{"qfe", kFull}},
     {"-l", "qfe0"},
     0,
     "qfe({qfe}): moda modb moda modb moda modb moda modb\n",
     "",
     {}},
    {"-l of a style-1 driver by another instance", {}, {"-l", "qfe12"}, 0, "qfe({qfe}):\n", "", {}},

    // Adding.
    {"add to a driver without configuration", {}, {"hme0"}, 0, "", "", {{"hme", "nvx"}}},
    {"add by driver name", {}, {"hme"}, 0, "", "", {{"hme", "nvx"}}},
    {"add appends after A and B",
     {{"hme", "moda modb"}},
     {"hme1"},
     0,
     "",
     "",
     {{"hme", "moda modb nvx"}}},
    {"add to a style-1 driver leaves the others alone",
     {{"hme", "moda"}},
     {"qfe0"},
     0,
     "",
     "",
     {{"qfe", "nvx"}}},
    {"add when nvx is listed first changes nothing",
     {{"hme", "nvx moda"}},
     {"hme0"},
     0,
     "",
     "",
     {}},
    {"add when nvx is listed last changes nothing", {{"hme", "moda nvx"}}, {"hme0"}, 0, "", "", {}},
    {"add to a full list is refused",
     {{"hme", kFull}},
     {"hme0"},
     2,
     "",
     "nvxpush: hme already has 8 autopushed modules, no room for nvx\n",
     {}},

    // Removing.
    {"remove from a driver without configuration", {}, {"-hme0"}, 0, "", "", {}},
    {"remove when nvx is not listed", {{"hme", "moda"}}, {"-hme0"}, 0, "", "", {}},
    {"remove from A, B, nvx leaves A, B",
     {{"hme", "moda modb nvx"}},
     {"-hme0"},
     0,
     "",
     "",
     {{"hme", "moda modb"}}},
    {"remove refused when nvx is first of two",
     {{"hme", "nvx moda"}},
     {"-hme0"},
     3,
     "",
     "Warning: nvx not last module on hme\n",
     {}},
    {"remove refused when nvx is in the middle",
     {{"qfe", "moda nvx modb"}},
     {"-qfe"},
     3,
     "",
     "Warning: nvx not last module on qfe\n",
     {}},
    {"remove the only module clears the configuration",
     {{"hme", "nvx"}},
     {"-hme"},
     0,
     "",
     "",
     {{"hme", "none"}}},
    {"remove the last of a full list",
     {{"hme", "moda modb moda modb moda modb moda nvx"}},
     {"-hme0"},
     0,
     "",
     "",
     {{"hme", "moda modb moda modb moda modb moda"}}},

    // Device names.
    {"a driver not in the table", {}, {"le0"}, 2, "", "le not found in /etc/name_to_major\n", {}},
    {"an all-digit name keeps its first digit",
     {},
     {"123"},
     2,
     "",
     "1 not found in /etc/name_to_major\n",
     {}},
    {"a name of 63 characters is looked up",
     {},
     {k63},
     2,
     "",
     k63 + " not found in /etc/name_to_major\n",
     {}},
    {"the removal minus does not count in the length",
     {},
     {"-" + k63},
     2,
     "",
     k63 + " not found in /etc/name_to_major\n",
     {}},
    {"a name of 64 characters is refused",
     {},
     {k64},
     2,
     "",
     "nvxpush: device name too long (64 characters, at most 63)\n",
     {}},
    {"a listed name of 64 characters is refused",
     {},
     {"-l", k64},
     2,
     "",
     "nvxpush: device name too long (64 characters, at most 63)\n",
     {}},
    {"a name of 300 characters is refused",
     {},
     {"-" + k300},
     2,
     "",
     "nvxpush: device name too long (300 characters, at most 63)\n",
     {}},
};

class CliTest : public HostSuite
{
  protected:
    static void SetUpTestSuite() { shared.start(default_host_args()); }
    static void TearDownTestSuite() { shared.stop(); }
    SuiteHost &suite() const override { return shared; }
    static SuiteHost shared;
};
SuiteHost CliTest::shared;

TEST_P(CliTest, CommandLineTable)
{
    for (const CliCase &c : kCases) {
        SCOPED_TRACE(c.name);
        for (const char *driver : {"hme", "qfe"})
            sad_clear_major(major(driver), 0);
        for (const auto &[driver, list] : c.before)
            ASSERT_EQ(sad_set_all(major(driver), words(list)), 0) << driver << ": " << list;

        Outcome o = nvxpush(c.args);
        EXPECT_FALSE(o.timed_out);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out, expand(c.out));
        if (c.err == "{usage}")
            EXPECT_TRUE(is_usage(o.err, tool_, "nvxpush")) << o.err;
        else
            EXPECT_EQ(o.err, expand(c.err));
        for (const char *driver : {"hme", "qfe"}) {
            std::string expected = "none";
            if (auto it = c.after.find(driver); it != c.after.end())
                expected = it->second;
            else if (auto b = c.before.find(driver); b != c.before.end())
                expected = b->second;
            EXPECT_EQ(sad_modules(major(driver)), expected) << "list of " << driver;
        }
    }
}

// The usage text carries the program's own name, as it was invoked.
TEST_P(CliTest, UsageNamesTheProgramAsInvoked)
{
    Outcome o = run_program(tool_, {"/opt/quill/bin/nvxpush"}, host().root());
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(is_usage(o.err, tool_, "/opt/quill/bin/nvxpush")) << o.err;
    EXPECT_EQ(o.out, "");
}

// hme0, hme1 and hme are one driver: what one adds the others list and remove.
TEST_P(CliTest, InstancesAndTheDriverNameShareOneList)
{
    EXPECT_EQ(nvxpush({"hme0"}).status, 0);
    Outcome l = nvxpush({"-l", "hme"});
    EXPECT_EQ(l.status, 0);
    EXPECT_EQ(l.out, expand("hme({hme}): nvx\n"));
    EXPECT_EQ(nvxpush({"hme1"}).status, 0) << "already listed through hme0";
    EXPECT_EQ(sad_modules(major("hme")), "nvx");
    EXPECT_EQ(nvxpush({"-hme"}).status, 0);
    EXPECT_EQ(sad_modules(major("hme")), "none");
    EXPECT_EQ(nvxpush({"-l", "hme0"}).out, expand("hme({hme}):\n"));
}

// The new list covers every minor of the driver, whatever the old configuration covered.
TEST_P(CliTest, NewListCoversEveryMinor)
{
    ASSERT_EQ(sad_set(major("hme"), SAP_RANGE, 0, 5, {"moda"}), 0);
    EXPECT_EQ(nvxpush({"hme0"}).status, 0);
    AutopushEntry e;
    ASSERT_EQ(sad_get(major("hme"), 0, &e), 0);
    EXPECT_EQ(e.cmd, static_cast<unsigned>(SAP_ALL));
    EXPECT_EQ(e.modules, words("moda nvx"));
    ASSERT_EQ(sad_get(major("hme"), 77, &e), 0) << "a minor outside the old range";
    EXPECT_EQ(e.modules, words("moda nvx"));
}

INSTANTIATE_TEST_SUITE_P(Nvxpush, CliTest, ::testing::Values(Tool::native, Tool::peer), tool_name);

} // namespace
