// The name-to-major lookup, on tables the tests write over the host's own etc/name_to_major
// (the host rewrites the file only when its driver table changes, which these tests never
// make it do).
#include "push_fixture.h"
#include "sad_client.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

using namespace pushtest;

namespace
{

struct TableCase {
    const char *name;
    std::string table; // the file's text ({hme}, {qfe}: the host's majors)
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
};

const std::string kLongPiece(255, 'x'); // fills fgets' buffer: what follows is the same line

const std::vector<TableCase> kCases = {
    {"major 0", "hme 0\n", {"-l", "hme0"}, 2, "", "Major for 'hme' in line 'hme 0\n' invalid\n"},
    {"no number after the name",
     "qfe {qfe}\nhme\nhme {hme}\n",
     {"hme0"},
     2,
     "",
     "Major for 'hme' in line 'hme\n' invalid\n"},
    {"a word instead of the number",
     "hme seven\n",
     {"-l", "hme"},
     2,
     "",
     "Major for 'hme' in line 'hme seven\n' invalid\n"},
    {"a negative number",
     "hme -1\n",
     {"-l", "hme"},
     2,
     "",
     "Major for 'hme' in line 'hme -1\n' invalid\n"},
    {"a number beyond 32 bits",
     "hme 99999999999\n",
     {"-l", "hme"},
     2,
     "",
     "Major for 'hme' in line 'hme 99999999999\n' invalid\n"},
    {"the name alone on the last line, without newline, is no match",
     "qfe {qfe}\nhme",
     {"-l", "hme"},
     2,
     "",
     "hme not found in /etc/name_to_major\n"},
    {"a longer driver name is no match",
     "hme2 {qfe}\nhmex {qfe}\nhme {hme}\n",
     {"-l", "hme0"},
     0,
     "hme({hme}):\n",
     ""},
    {"only the longer name: not found",
     "hme2 {hme}\n",
     {"-l", "hme"},
     2,
     "",
     "hme not found in /etc/name_to_major\n"},
    {"the first matching line wins",
     "hme {hme}\nhme {qfe}\n",
     {"-l", "hme"},
     0,
     "hme({hme}):\n",
     ""},
    {"a tab after the name", "hme\t{hme}\n", {"-l", "hme"}, 0, "hme({hme}):\n", ""},
    {"white space around the number", "hme   {hme}   \n", {"-l", "hme"}, 0, "hme({hme}):\n", ""},
    {"comment lines do not match", "# hme 0\nhme {hme}\n", {"-l", "hme"}, 0, "hme({hme}):\n", ""},
    {"the driver name of an instance with digits inside",
     "e1000g {hme}\n",
     {"-l", "e1000g3"},
     0,
     "e1000g({hme}):\n",
     ""},
    {"the rest of an overlong line is not a line of its own",
     kLongPiece + "hme 0\nhme {hme}\n",
     {"-l", "hme"},
     0,
     "hme({hme}):\n",
     ""},
    {"an overlong matching line",
     "hme {hme}" + std::string(400, ' ') + "\n",
     {"-l", "hme"},
     0,
     "hme({hme}):\n",
     ""},
    {"a major the host does not know",
     "hme 77\n",
     {"hme0"},
     2,
     "",
     "SAD_GAP: SAP_ALL failed: hme: Invalid argument\n"},
};

class NameToMajorTest : public HostSuite
{
  protected:
    static void SetUpTestSuite() { shared.start(default_host_args()); }
    static void TearDownTestSuite() { shared.stop(); }
    SuiteHost &suite() const override { return shared; }
    static SuiteHost shared;
};
SuiteHost NameToMajorTest::shared;

TEST_P(NameToMajorTest, CraftedTables)
{
    for (const TableCase &c : kCases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_file(host().name_to_major_path(), expand(c.table)));
        Outcome o = nvxpush(c.args);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out, expand(c.out));
        EXPECT_EQ(o.err, expand(c.err));
        EXPECT_EQ(sad_modules(major("hme")), "none") << "nothing configured";
    }
}

TEST_P(NameToMajorTest, MissingTable)
{
    ASSERT_EQ(::unlink(host().name_to_major_path().c_str()), 0);
    Outcome o = nvxpush({"hme0"});
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "/etc/name_to_major: No such file or directory\n");
    EXPECT_EQ(o.out, "");
}

INSTANTIATE_TEST_SUITE_P(Nvxpush, NameToMajorTest, ::testing::Values(Tool::native, Tool::peer),
                         tool_name);

} // namespace
