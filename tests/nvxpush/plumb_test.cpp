// End to end: the list the tool writes is what the platform pushes when an interface is
// plumbed. The host's interface status shows each plumbed stream's modules, topmost first
// ("ip,nvx,hme": ip's stream, nvx directly above the driver hme).
#include "push_fixture.h"
#include "sad_client.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace pushtest;

namespace
{

// The module stacks of ifname's plumbed streams, from `streamhost ctl interfaces`.
std::vector<std::string> stacks_of(const std::string &status, const std::string &ifname)
{
    std::vector<std::string> stacks;
    std::istringstream in(status);
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != ' ') {
            inside = line.rfind(ifname + ":", 0) == 0;
            continue;
        }
        const std::string key = "  stream ";
        if (inside && line.rfind(key, 0) == 0)
            stacks.push_back(line.substr(key.size(), line.find(':') - key.size()));
    }
    return stacks;
}

class PlumbTest : public HostSuite
{
  protected:
    static void SetUpTestSuite() { shared.start(default_host_args()); }
    static void TearDownTestSuite() { shared.stop(); }
    SuiteHost &suite() const override { return shared; }
    static SuiteHost shared;

    void TearDown() override
    {
        if (suite().host)
            for (const char *ifname : {"hme0", "hme1", "qfe0"})
                host().ctl({"unplumb", ifname});
    }

    // Plumbs ifname again (unplumbed first if it was) and returns its streams' stacks.
    std::vector<std::string> replumb(const std::string &ifname)
    {
        host().ctl({"unplumb", ifname});
        Outcome p = host().ctl({"plumb", ifname});
        EXPECT_EQ(p.status, 0) << p.out << p.err;
        return stacks_of(host().ctl({"interfaces"}).out, ifname);
    }
};
SuiteHost PlumbTest::shared;

using Stacks = std::vector<std::string>;

TEST_P(PlumbTest, NvxSitsDirectlyAboveTheDriverUntilRemoved)
{
    Outcome o = nvxpush({"hme0"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(replumb("hme0"), (Stacks{"ip,nvx,hme", "arp,nvx,hme"}));
    EXPECT_EQ(replumb("hme1"), (Stacks{"ip,nvx,hme", "arp,nvx,hme"})) << "the same driver";
    EXPECT_EQ(replumb("qfe0"), (Stacks{"ip,qfe", "arp,qfe"})) << "another driver";

    o = nvxpush({"-hme0"});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(stacks_of(host().ctl({"interfaces"}).out, "hme0"),
              (Stacks{"ip,nvx,hme", "arp,nvx,hme"}))
        << "streams already open keep their modules";
    EXPECT_EQ(replumb("hme0"), (Stacks{"ip,hme", "arp,hme"}));
}

TEST_P(PlumbTest, StyleOneDriver)
{
    ASSERT_EQ(nvxpush({"qfe0"}).status, 0);
    EXPECT_EQ(replumb("qfe0"), (Stacks{"ip,nvx,qfe", "arp,nvx,qfe"}));
    ASSERT_EQ(nvxpush({"-qfe"}).status, 0);
    EXPECT_EQ(replumb("qfe0"), (Stacks{"ip,qfe", "arp,qfe"}));
}

// nvx goes last into a list that holds modules already: the platform pushes the list in
// order, so nvx is pushed after them and sits above them.
TEST_P(PlumbTest, AddedAfterOtherModules)
{
    ASSERT_EQ(sad_set_all(major("hme"), {"moda"}), 0);
    ASSERT_EQ(nvxpush({"hme0"}).status, 0);
    EXPECT_EQ(replumb("hme0"), (Stacks{"ip,nvx,moda,hme", "arp,nvx,moda,hme"}));
    ASSERT_EQ(nvxpush({"-hme0"}).status, 0);
    EXPECT_EQ(replumb("hme0"), (Stacks{"ip,moda,hme", "arp,moda,hme"}));
}

INSTANTIATE_TEST_SUITE_P(Nvxpush, PlumbTest, ::testing::Values(Tool::native, Tool::peer),
                         tool_name);

} // namespace
