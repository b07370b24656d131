// Real Linux network stacks talking through the host: two network namespaces, each with a TAP
// interface that is the backend of one host NIC (hme0, hme1); the host plumbs ip and arp on
// both NICs and bridges them. ping and a TCP connection between the namespaces must pass
// through the host, and the host's counters must show the bridged frames. Addresses are from
// 198.18.0.0/15; everything made is removed afterwards (the TAP devices vanish with the host).
#include "host_process.h"
#include "scenarios.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>

using namespace hosttest;

namespace
{

struct Namespaces {
    std::string a, b;
    ~Namespaces()
    {
        sh("ip netns del " + a + " 2>/dev/null; ip netns del " + b + " 2>/dev/null; true");
    }
};

// The number after `key` in the first line of text that contains `where` and `key`.
long long counter_after(const std::string &text, const std::string &where, const std::string &key)
{
    size_t at = text.find(where);
    if (at == std::string::npos)
        return -1;
    size_t k = text.find(key + " ", at);
    if (k == std::string::npos)
        return -1;
    return std::stoll(text.substr(k + key.size() + 1));
}

} // namespace

TEST(HostTap, PingAndTcpBetweenTwoNamespacesPassThroughTheHostsBridge)
{
    if (::access("/dev/net/tun", R_OK | W_OK) != 0)
        GTEST_SKIP() << "this machine has no usable /dev/net/tun: no TAP devices";
    std::string out;
    if (sh("ip netns list", 10, &out) != 0)
        GTEST_SKIP() << "network namespaces cannot be made here (ip netns: " << out << ")";

    std::string sfx = std::to_string(::getpid() % 100000);
    Namespaces ns{"nvxhostA" + sfx, "nvxhostB" + sfx};
    std::string ta = "nvxta" + sfx, tb = "nvxtb" + sfx;
    HostProcess host;
    ASSERT_TRUE(
        host.start(streamhost_path(), {"--nic", "hme0,promisc,backend=tap,tap=" + ta, "--nic",
                                       "hme1,promisc,backend=tap,tap=" + tb, "--plumb", "hme0",
                                       "--plumb", "hme1", "--bridge", "hme0,hme1"}))
        << host.error();

    struct Side {
        std::string ns, tap, addr;
    } sides[] = {{ns.a, ta, "198.18.0.1"}, {ns.b, tb, "198.18.0.2"}};
    for (const Side &s : sides) {
        std::string cmd = "ip netns add " + s.ns + " && ip link set " + s.tap + " netns " + s.ns +
                          " && ip -n " + s.ns + " link set lo up && ip -n " + s.ns + " addr add " +
                          s.addr + "/24 dev " + s.tap + " && ip -n " + s.ns + " link set " + s.tap +
                          " up";
        ASSERT_EQ(sh(cmd, 20, &out), 0) << cmd << ": " << out;
    }

    EXPECT_EQ(sh("ip netns exec " + ns.a + " ping -c 3 -i 0.2 -W 3 198.18.0.2", 30, &out), 0)
        << out;

    std::string received = host.root() + "/received.txt";
    std::string listen = "ip netns exec " + ns.b + " timeout 15 nc -l 5001 > " + received;
    std::string send = "sleep 0.5; echo hello-through-the-host | ip netns exec " + ns.a +
                       " timeout 10 nc -N 198.18.0.2 5001";
    EXPECT_EQ(sh("(" + listen + ") & " + send + "; wait", 30, &out), 0) << out;
    EXPECT_EQ(sh("cat " + received, 5, &out), 0);
    EXPECT_EQ(out, "hello-through-the-host\n");

    std::string text;
    ASSERT_EQ(host.ctl({"interfaces"}, &text), 0);
    for (const char *nic : {"hme0:", "hme1:"}) {
        EXPECT_GT(counter_after(text, nic, "rx_frames"), 0) << text;
        EXPECT_GT(counter_after(text, nic, "bridged"), 0) << text;
        EXPECT_GT(counter_after(text, nic, "tx_frames"), 0) << text;
    }
    EXPECT_EQ(host.stop(), 0) << host.output();
    // The TAP devices went with the host's descriptors.
    EXPECT_NE(sh("ip -n " + ns.a + " link show " + ta, 5, &out), 0) << out;
}
