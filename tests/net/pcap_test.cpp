#include "pcap/pcap_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace platform::net;

namespace
{

std::string temp_path(const char *tag)
{
    return "/tmp/nvx-net-" + std::to_string(getpid()) + "-" + tag + ".pcap";
}

void put32(std::vector<uint8_t> &v, uint32_t x, bool big)
{
    for (int i = 0; i < 4; i++)
        v.push_back(static_cast<uint8_t>(big ? x >> (24 - 8 * i) : x >> (8 * i)));
}
void put16(std::vector<uint8_t> &v, uint16_t x, bool big)
{
    v.push_back(static_cast<uint8_t>(big ? x >> 8 : x));
    v.push_back(static_cast<uint8_t>(big ? x : x >> 8));
}

// A capture file written byte by byte in the given order: header then records.
std::string write_raw(const char *tag, bool big, uint32_t magic, uint32_t snap,
                      const std::vector<std::vector<uint8_t>> &recs, size_t cut_tail = 0,
                      uint32_t lie_caplen = 0)
{
    std::vector<uint8_t> v;
    put32(v, magic, big);
    put16(v, 2, big);
    put16(v, 4, big);
    put32(v, 0, big);
    put32(v, 0, big);
    put32(v, snap, big);
    put32(v, 1, big);
    uint32_t t = 1000;
    for (const auto &r : recs) {
        put32(v, t++, big);
        put32(v, magic == kPcapMagicNano ? 5000 : 5, big);
        put32(v, lie_caplen ? lie_caplen : static_cast<uint32_t>(r.size()), big);
        put32(v, static_cast<uint32_t>(r.size()), big);
        v.insert(v.end(), r.begin(), r.end());
    }
    v.resize(v.size() - cut_tail);
    std::string path = temp_path(tag);
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fwrite(v.data(), 1, v.size(), f);
    std::fclose(f);
    return path;
}

} // namespace

TEST(Pcap, WriterReaderRoundTrip)
{
    std::string path = temp_path("rt");
    PcapWriter w;
    ASSERT_TRUE(w.open(path, 100)) << w.error();
    std::vector<uint8_t> a(60, 1), b(150, 2); // b is cut to the snap length
    ASSERT_TRUE(w.write(10, 20, a.data(), a.size()));
    ASSERT_TRUE(w.write(11, 999999, b.data(), b.size()));
    ASSERT_TRUE(w.close());
    PcapReader r;
    ASSERT_TRUE(r.open(path)) << r.error();
    EXPECT_EQ(r.link_type(), kPcapLinkEthernet);
    EXPECT_EQ(r.snap_len(), 100u);
    PcapRecord rec;
    ASSERT_EQ(r.next(rec), PcapReader::Next::record);
    EXPECT_EQ(rec.ts_sec, 10u);
    EXPECT_EQ(rec.ts_usec, 20u);
    EXPECT_EQ(rec.data, a);
    ASSERT_EQ(r.next(rec), PcapReader::Next::record);
    EXPECT_EQ(rec.data.size(), 100u);
    EXPECT_EQ(rec.orig_len, 150u);
    EXPECT_EQ(r.next(rec), PcapReader::Next::end);
    ASSERT_TRUE(r.rewind());
    EXPECT_EQ(r.next(rec), PcapReader::Next::record);
    EXPECT_EQ(rec.data, a);
    std::remove(path.c_str());
}

TEST(Pcap, ReadsBothByteOrdersAndResolutions)
{
    std::vector<std::vector<uint8_t>> recs{std::vector<uint8_t>(60, 7),
                                           std::vector<uint8_t>(64, 8)};
    struct Case {
        const char *name;
        bool big;
        uint32_t magic;
        bool swapped_on_le_host;
    } cases[] = {{"le-micro", false, kPcapMagicMicro, false},
                 {"be-micro", true, kPcapMagicMicro, true},
                 {"be-nano", true, kPcapMagicNano, true},
                 {"le-nano", false, kPcapMagicNano, false}};
    for (const auto &c : cases) {
        std::string path = write_raw(c.name, c.big, c.magic, 65535, recs);
        PcapReader r;
        ASSERT_TRUE(r.open(path)) << c.name << ": " << r.error();
        EXPECT_EQ(r.swapped(), c.swapped_on_le_host) << c.name;
        PcapRecord rec;
        for (const auto &want : recs) {
            ASSERT_EQ(r.next(rec), PcapReader::Next::record) << c.name;
            EXPECT_EQ(rec.data, want) << c.name;
            EXPECT_EQ(rec.ts_usec, 5u) << c.name; // nanoseconds are turned into microseconds
        }
        EXPECT_EQ(r.next(rec), PcapReader::Next::end) << c.name;
        std::remove(path.c_str());
    }
}

TEST(Pcap, DamagedFilesEndWithAnErrorNotAnOverrun)
{
    std::vector<std::vector<uint8_t>> recs{std::vector<uint8_t>(60, 7)};
    struct Case {
        const char *name;
        size_t cut;
        uint32_t lie;
        uint32_t snap;
    } cases[] = {
        {"cut-data", 10, 0, 65535},       // record data cut short
        {"cut-header", 60 + 8, 0, 65535}, // record header cut short
        {"caplen-over-snap", 0, 70000, 65535},
        {"caplen-huge", 0, 0xfffffff0u, 0}, // snap 0: bounded by the reader's own maximum
    };
    for (const auto &c : cases) {
        std::string path = write_raw(c.name, false, kPcapMagicMicro, c.snap, recs, c.cut, c.lie);
        PcapReader r;
        ASSERT_TRUE(r.open(path)) << c.name;
        PcapRecord rec;
        EXPECT_EQ(r.next(rec), PcapReader::Next::error) << c.name;
        EXPECT_FALSE(r.error().empty()) << c.name;
        std::remove(path.c_str());
    }
    std::string bad = write_raw("bad-magic", false, 0x12345678, 65535, recs);
    PcapReader r;
    EXPECT_FALSE(r.open(bad));
    EXPECT_FALSE(r.open("/nonexistent/x.pcap"));
    std::remove(bad.c_str());
}
