// Helpers of the network tests: an independent checksum check and a fake NIC port.
#ifndef NVX_TESTS_NET_TEST_FRAMES_H
#define NVX_TESTS_NET_TEST_FRAMES_H

#include "backends/backend.h"

#include <cstdint>
#include <mutex>
#include <vector>

namespace nettest
{

// Straightforward RFC 1071 sum written apart from the library's: bytes taken in pairs.
inline uint16_t ones_complement(const std::vector<uint8_t> &bytes)
{
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i++)
        sum += (i % 2 == 0) ? uint64_t{bytes[i]} * 256 : bytes[i];
    while (sum > 0xffff)
        sum = (sum >> 16) + (sum & 0xffff);
    return static_cast<uint16_t>(sum);
}

// True when the IPv4 header checksum and the TCP/UDP/ICMP checksum of the frame verify.
inline bool frame_checksums_ok(const std::vector<uint8_t> &f)
{
    if (f.size() < 34 || f[12] != 0x08 || f[13] != 0x00)
        return true; // not IPv4
    size_t ihl = (f[14] & 0xf) * 4u;
    size_t total = (size_t{f[16]} << 8) | f[17];
    if (14 + total > f.size())
        return false;
    std::vector<uint8_t> ip(f.begin() + 14, f.begin() + 14 + ihl);
    if (ones_complement(ip) != 0xffff)
        return false;
    uint8_t proto = f[23];
    std::vector<uint8_t> l4(f.begin() + 14 + ihl, f.begin() + 14 + total);
    if (proto == 1)
        return ones_complement(l4) == 0xffff;
    if (proto != 6 && proto != 17)
        return true;
    std::vector<uint8_t> pseudo(f.begin() + 26, f.begin() + 34);
    pseudo.push_back(0);
    pseudo.push_back(proto);
    pseudo.push_back(static_cast<uint8_t>(l4.size() >> 8));
    pseudo.push_back(static_cast<uint8_t>(l4.size()));
    pseudo.insert(pseudo.end(), l4.begin(), l4.end());
    return ones_complement(pseudo) == 0xffff;
}

// A NIC port that records what a backend hands it.
class FakePort : public platform::net::NicPort
{
  public:
    explicit FakePort(platform::net::MacAddr mac, bool stack_plumbed = true)
        : mac_(mac), plumbed_(stack_plumbed)
    {
    }
    void receive(const uint8_t *f, size_t len) override
    {
        std::lock_guard l(m_);
        rx.emplace_back(f, f + len);
    }
    bool send_from_stack(const uint8_t *f, size_t len) override
    {
        std::lock_guard l(m_);
        if (!plumbed_)
            return false;
        tx.emplace_back(f, f + len);
        return true;
    }
    virtual ~FakePort() = default;
    const platform::net::MacAddr &mac() const override { return mac_; }
    size_t rx_count()
    {
        std::lock_guard l(m_);
        return rx.size();
    }

    std::mutex m_;
    std::vector<std::vector<uint8_t>> rx, tx;

  private:
    platform::net::MacAddr mac_;
    bool plumbed_;
};

} // namespace nettest

#endif
