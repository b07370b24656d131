#include "backends/generator.h"
#include "frame/builders.h"
#include "pcap/pcap_file.h"
#include "test_frames.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <unistd.h>

using namespace platform::net;

namespace
{
std::vector<std::vector<uint8_t>> generate(const GeneratorConfig &cfg, size_t n,
                                           std::vector<bool> *dirs = nullptr)
{
    FrameGenerator g(cfg);
    std::vector<std::vector<uint8_t>> out(n);
    for (auto &f : out) {
        bool ob = false;
        g.next(f, ob);
        if (dirs)
            dirs->push_back(ob);
    }
    return out;
}
} // namespace

TEST(Generator, SameSeedSameFramesOtherSeedOtherFrames)
{
    GeneratorConfig cfg;
    cfg.seed = 42;
    auto a = generate(cfg, 300), b = generate(cfg, 300);
    EXPECT_EQ(a, b);
    cfg.seed = 43;
    EXPECT_NE(generate(cfg, 300), a);
}

TEST(Generator, MixCoversEveryKindWithValidChecksumsAndSizes)
{
    GeneratorConfig cfg;
    cfg.seed = 7;
    cfg.min_payload = 10;
    cfg.max_payload = 5000; // capped at mtu - 40
    std::vector<bool> dirs;
    auto frames = generate(cfg, 3000, &dirs);
    size_t tcp = 0, udp = 0, icmp = 0, arp = 0, bcast = 0, mcast = 0, other = 0, out = 0;
    for (size_t i = 0; i < frames.size(); i++) {
        const auto &f = frames[i];
        ASSERT_GE(f.size(), kEtherMinFrame);
        ASSERT_LE(f.size(), kEtherHeaderLen + cfg.mtu);
        ASSERT_TRUE(nettest::frame_checksums_ok(f)) << "frame " << i;
        bool from_station = mac_equal(f.data() + 6, cfg.station_mac);
        EXPECT_EQ(dirs[i], from_station) << "frame " << i;
        out += dirs[i];
        if (mac_is_broadcast(f.data()))
            bcast++;
        else if (mac_is_group(f.data()))
            mcast++;
        else if (!mac_equal(f.data(), cfg.station_mac) && !from_station)
            other++;
        uint16_t type = get_be16(f.data() + 12);
        if (type == kEtherTypeArp)
            arp++;
        else if (f[23] == kIpProtoTcp)
            tcp++;
        else if (f[23] == kIpProtoUdp)
            udp++;
        else if (f[23] == kIpProtoIcmp)
            icmp++;
    }
    for (size_t n : {tcp, udp, icmp, arp, bcast, mcast, other, out})
        EXPECT_GT(n, 20u);
    EXPECT_LT(out, frames.size());
}

TEST(Generator, TcpConversationsKeepSequenceNumbersConsistent)
{
    GeneratorConfig cfg;
    cfg.seed = 3;
    cfg.mix = GeneratorMix{1, 0, 0, 0, 0, 0, 0};
    auto frames = generate(cfg, 2000);
    // Per direction of a connection: the next expected sequence number, learnt from the SYN.
    using Key = std::tuple<uint32_t, uint32_t, uint16_t, uint16_t>;
    std::map<Key, uint32_t> next_seq;
    size_t syn = 0, synack = 0, checked = 0, fin = 0;
    for (const auto &f : frames) {
        const uint8_t *ip = f.data() + 14, *t = ip + 20;
        Key k{get_be32(ip + 12), get_be32(ip + 16), get_be16(t), get_be16(t + 2)};
        Key rev{get_be32(ip + 16), get_be32(ip + 12), get_be16(t + 2), get_be16(t)};
        uint8_t flags = t[13];
        uint32_t seq = get_be32(t + 4), ack = get_be32(t + 8);
        size_t len = get_be16(ip + 2) - 40u;
        if (flags & kTcpSyn) {
            (flags & kTcpAck) ? synack++ : syn++;
            next_seq[k] = seq;
        }
        auto it = next_seq.find(k);
        ASSERT_NE(it, next_seq.end()) << "segment before its SYN";
        EXPECT_EQ(seq, it->second);
        if (flags & kTcpAck) {
            auto r = next_seq.find(rev);
            ASSERT_NE(r, next_seq.end());
            EXPECT_EQ(ack, r->second) << "ack is not the peer's next sequence number";
            checked++;
        }
        fin += (flags & kTcpFin) != 0;
        it->second = seq + static_cast<uint32_t>(len) + ((flags & (kTcpSyn | kTcpFin)) ? 1 : 0);
    }
    EXPECT_GT(syn, 10u);
    EXPECT_EQ(syn >= synack && syn - synack <= cfg.conversations, true);
    EXPECT_GT(fin, 10u);
    EXPECT_GT(checked, 1000u);
}

TEST(Generator, InboundOnlyProducesNoStationFrames)
{
    GeneratorConfig cfg;
    cfg.inbound_only = true;
    std::vector<bool> dirs;
    auto frames = generate(cfg, 1000, &dirs);
    for (size_t i = 0; i < frames.size(); i++) {
        EXPECT_FALSE(dirs[i]);
        EXPECT_FALSE(mac_equal(frames[i].data() + 6, cfg.station_mac));
    }
}

// tshark reads a capture file our writer produced and verifies every checksum itself.
TEST(Generator, TsharkFindsNoBadChecksums)
{
    if (system("command -v tshark >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tshark not installed";
    std::string path = "/tmp/nvx-net-gen-" + std::to_string(getpid()) + ".pcap";
    PcapWriter w;
    ASSERT_TRUE(w.open(path));
    GeneratorConfig cfg;
    cfg.seed = 11;
    auto frames = generate(cfg, 400);
    for (size_t i = 0; i < frames.size(); i++)
        ASSERT_TRUE(w.write(1, static_cast<uint32_t>(i), frames[i].data(), frames[i].size()));
    ASSERT_TRUE(w.close());
    auto run = [&](const std::string &filter) {
        std::string cmd = "tshark -n -r " + path +
                          " -o ip.check_checksum:TRUE -o tcp.check_checksum:TRUE"
                          " -o udp.check_checksum:TRUE -Y '" +
                          filter + "' 2>/dev/null | wc -l";
        FILE *p = popen(cmd.c_str(), "r");
        int n = -1;
        if (p) {
            if (fscanf(p, "%d", &n) != 1)
                n = -1;
            pclose(p);
        }
        return n;
    };
    EXPECT_EQ(run("frame"), 400);
    EXPECT_EQ(run("ip.checksum.status == 0 || tcp.checksum.status == 0 || "
                  "udp.checksum.status == 0 || icmp.checksum.status == 0"),
              0);
    EXPECT_GT(run("tcp.checksum.status == 1"), 100);
    std::remove(path.c_str());
}
