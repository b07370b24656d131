// The exact administrative requests of the tool and its answers to every outcome, against a
// stand-in administrative driver (fake_sad.h) whose answers each case chooses: read (SAD_GAP
// for minor 0), clear (SAP_CLEAR, minor 0), set (SAP_ALL, minor 0), and the put-back of the
// list read when clearing or setting fails. Also the replies a real administrative driver
// does not give (too many modules, names without their NUL), which must not make the tool
// read or write past its record.
#include "fake_sad.h"
#include "push_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

using namespace pushtest;

namespace
{

struct GapAnswer {
    int error = 0; // ENODEV: no configuration
    unsigned cmd = SAP_ALL, minor = 0, lastminor = 0;
    std::vector<std::string> names; // raw bytes, up to 9 per entry (9: no NUL)
    int npush = -1;                 // -1: names.size()
};

struct RequestCase {
    const char *name;
    std::vector<std::string> args;
    GapAnswer gap;
    std::vector<int> sap_errors; // answers to the SAD_SAP requests in order (then 0)
    int status;
    std::string out;
    std::string err;
    std::vector<std::string> requests; // as describe() writes them
};

// "GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda nvx", "SAP RANGE 7:0-5 moda".
std::string describe(const SadRequest &r)
{
    static const char *const cmds[] = {"CLEAR", "ONE", "RANGE", "ALL"};
    std::string s = r.code == 0x4412   ? "GAP"
                    : r.code == 0x4411 ? "SAP"
                                       : "code " + std::to_string(r.code);
    s += " ";
    s += r.ap.sap_cmd < 4 ? cmds[r.ap.sap_cmd] : "cmd " + std::to_string(r.ap.sap_cmd);
    s += " " + std::to_string(r.ap.sap_major) + ":" + std::to_string(r.ap.sap_minor);
    if (r.ap.sap_cmd == SAP_RANGE)
        s += "-" + std::to_string(r.ap.sap_lastminor);
    if (r.code == 0x4411 && r.ap.sap_cmd != SAP_CLEAR) {
        if (r.ap.sap_npush > MAXAPUSH)
            return s + " npush " + std::to_string(r.ap.sap_npush);
        for (unsigned i = 0; i < r.ap.sap_npush; ++i)
            s += " " + std::string(r.ap.sap_list[i], strnlen(r.ap.sap_list[i], FMNAMESZ + 1));
    }
    return s;
}

GapAnswer listed(std::vector<std::string> names)
{
    GapAnswer g;
    g.names = std::move(names);
    return g;
}
GapAnswer unconfigured()
{
    GapAnswer g;
    g.error = ENODEV;
    return g;
}

const std::string kNine = "abcdefghi"; // fills an entry without its NUL
const std::vector<std::string> kNines(8, kNine);

const std::vector<RequestCase> kCases = {
    {"add: read, clear, set every minor",
     {"hme0"},
     listed({"moda", "modb"}),
     {},
     0,
     "",
     "",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda modb nvx"}},
    {"add without configuration: ENODEV from the clear is no failure",
     {"hme0"},
     unconfigured(),
     {ENODEV},
     0,
     "",
     "",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 nvx"}},
    {"ENODEV from the set is no failure either",
     {"hme0"},
     unconfigured(),
     {ENODEV, ENODEV},
     0,
     "",
     "",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 nvx"}},
    {"remove from A, B, nvx",
     {"-hme0"},
     listed({"moda", "modb", "nvx"}),
     {},
     0,
     "",
     "",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda modb"}},
    {"remove the only module: clear, and no set",
     {"-hme0"},
     listed({"nvx"}),
     {},
     0,
     "",
     "",
     {"GAP ALL 7:0", "SAP CLEAR 7:0"}},
    {"list: one read",
     {"-l", "hme0"},
     listed({"moda", "modb"}),
     {},
     0,
     "hme(7): moda modb\n",
     "",
     {"GAP ALL 7:0"}},
    {"nothing to change: one read",
     {"hme0"},
     listed({"nvx", "moda"}),
     {},
     0,
     "",
     "",
     {"GAP ALL 7:0"}},
    {"removal refused: one read",
     {"-hme0"},
     listed({"nvx", "moda"}),
     {},
     3,
     "",
     "Warning: nvx not last module on hme\n",
     {"GAP ALL 7:0"}},
    {"the read fails",
     {"hme0"},
     {ENOSTR, SAP_ALL, 0, 0, {}, -1},
     {},
     2,
     "",
     "SAD_GAP: SAP_ALL failed: hme: Device not a stream\n",
     {"GAP ALL 7:0"}},
    {"the clear fails: the list read is put back",
     {"hme0"},
     listed({"moda", "modb"}),
     {EIO},
     2,
     "",
     "SAD_SAP: SAP_CLEAR failed: hme: Input/output error\n",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda modb"}},
    {"the clear of a removal fails: the list read is put back",
     {"-hme0"},
     listed({"moda", "nvx"}),
     {EPERM},
     2,
     "",
     "SAD_SAP: SAP_CLEAR failed: hme: Operation not permitted\n",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda nvx"}},
    {"the clear fails with nothing read: nothing to put back",
     {"hme0"},
     unconfigured(),
     {EIO},
     2,
     "",
     "SAD_SAP: SAP_CLEAR failed: hme: Input/output error\n",
     {"GAP ALL 7:0", "SAP CLEAR 7:0"}},
    {"the set fails: the list read is put back",
     {"hme0"},
     listed({"moda"}),
     {0, EINVAL},
     2,
     "",
     "SAD_SAP: SAP_ALL failed: hme: Invalid argument\n",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda nvx", "SAP ALL 7:0 moda"}},
    {"the set fails: a range read is put back as that range",
     {"hme0"},
     {0, SAP_RANGE, 0, 5, {"moda"}, -1},
     {0, EEXIST},
     2,
     "",
     "SAD_SAP: SAP_ALL failed: hme: File exists\n",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda nvx", "SAP RANGE 7:0-5 moda"}},
    {"an entry read of no known kind is put back for every minor",
     {"hme0"},
     {0, 7, 4, 0, {"moda"}, -1},
     {EIO},
     2,
     "",
     "SAD_SAP: SAP_CLEAR failed: hme: Input/output error\n",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda"}},
    {"the set fails and so does the put-back",
     {"hme0"},
     listed({"moda"}),
     {0, EINVAL, EINVAL},
     2,
     "",
     "SAD_SAP: SAP_ALL failed: hme: Invalid argument\n",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda nvx", "SAP ALL 7:0 moda"}},
    {"a read with more than 8 modules is refused",
     {"-l", "hme0"},
     {0, SAP_ALL, 0, 0, kNines, 9},
     {},
     2,
     "",
     "SAD_GAP: hme has 9 autopushed modules, more than 8\n",
     {"GAP ALL 7:0"}},
    {"names without their NUL are listed within their entries",
     {"-l", "hme0"},
     {0, SAP_ALL, 0, 0, kNines, -1},
     {},
     0,
     "hme(7): abcdefghi abcdefghi abcdefghi abcdefghi abcdefghi abcdefghi abcdefghi "
     "abcdefghi\n",
     "",
     {"GAP ALL 7:0"}},
    {"adding to a full list of such names is refused",
     {"hme0"},
     {0, SAP_ALL, 0, 0, kNines, -1},
     {},
     2,
     "",
     "nvxpush: hme already has 8 autopushed modules, no room for nvx\n",
     {"GAP ALL 7:0"}},
    {"nvx is matched up to its NUL",
     {"-hme0"},
     listed({"moda", std::string("nvx\0junky", 9)}),
     {},
     0,
     "",
     "",
     {"GAP ALL 7:0", "SAP CLEAR 7:0", "SAP ALL 7:0 moda"}},
};

class SadRequestTest : public ::testing::TestWithParam<Tool>
{
  protected:
    void SetUp() override
    {
        tool_ = tool_path(GetParam());
        if (::access(tool_.c_str(), X_OK) != 0)
            GTEST_SKIP() << "no tool of the other word size at " << tool_;
        root_ = make_temp_root("pushtest-fake");
        ASSERT_FALSE(root_.empty());
        ASSERT_EQ(::mkdir((root_ + "/etc").c_str(), 0700), 0);
        ASSERT_TRUE(write_file(root_ + "/etc/name_to_major", "qfe 3\nhme 7\n"));
    }
    void TearDown() override { remove_tree(root_); }

    std::string tool_, root_;
};

TEST_P(SadRequestTest, RequestsAndOutcomes)
{
    for (const RequestCase &c : kCases) {
        SCOPED_TRACE(c.name);
        size_t saps = 0;
        FakeSad sad(root_, [&c, &saps](const SadRequest &r, struct strapush *reply) {
            if (r.code == SAD_GAP) {
                if (c.gap.error)
                    return c.gap.error;
                std::memset(reply, 0, sizeof *reply);
                reply->sap_cmd = c.gap.cmd;
                reply->sap_major = r.ap.sap_major;
                reply->sap_minor = c.gap.minor;
                reply->sap_lastminor = c.gap.lastminor;
                reply->sap_npush = static_cast<uint_t>(
                    c.gap.npush >= 0 ? c.gap.npush : static_cast<int>(c.gap.names.size()));
                for (size_t i = 0; i < c.gap.names.size() && i < MAXAPUSH; ++i)
                    std::memcpy(reply->sap_list[i], c.gap.names[i].data(),
                                std::min(c.gap.names[i].size(), sizeof reply->sap_list[i]));
                return 0;
            }
            size_t n = saps++;
            return n < c.sap_errors.size() ? c.sap_errors[n] : 0;
        });
        ASSERT_TRUE(sad.listening());

        std::vector<std::string> argv = {"nvxpush"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Outcome o = run_program(tool_, argv, root_);
        EXPECT_EQ(o.status, c.status);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        std::vector<std::string> seen;
        for (const SadRequest &r : sad.requests())
            seen.push_back(describe(r));
        EXPECT_EQ(seen, c.requests);
        EXPECT_EQ(sad.opened(), std::vector<std::string>{"/dev/sad/admin"});
    }
}

INSTANTIATE_TEST_SUITE_P(Nvxpush, SadRequestTest, ::testing::Values(Tool::native, Tool::peer),
                         tool_name);

} // namespace
