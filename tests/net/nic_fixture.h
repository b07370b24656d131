// Helpers of the NIC and stack tests: loading a NIC driver, raw DLPI requests on a stream.
#ifndef NVX_TESTS_NET_NIC_FIXTURE_H
#define NVX_TESTS_NET_NIC_FIXTURE_H

#include "backends/sink.h"
#include "nic/nic.h"
#include "streams/stream_head.h"

#include <sys/dlpi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <thread>

namespace nettest
{

inline const platform::streams::Caller kRoot{100, 0, 0, IOC_NATIVE};

inline std::unique_ptr<platform::net::NicDriver>
load_nic(const std::string &name, int style, platform::net::BackendPtr backend,
         platform::net::MacAddr mac = {2, 0, 0, 0, 0, 1}, unsigned ppa = 0, uint32_t mtu = 1500)
{
    platform::net::NicDriverConfig cfg;
    cfg.name = name;
    cfg.style = style;
    platform::net::NicInstanceConfig ic;
    ic.ppa = ppa;
    ic.mac = mac;
    ic.mtu = mtu;
    ic.backend = std::move(backend);
    cfg.instances.push_back(std::move(ic));
    std::unique_ptr<platform::net::NicDriver> drv;
    int err = platform::net::NicDriver::load(std::move(cfg), &drv);
    EXPECT_EQ(err, 0) << "loading " << name;
    return drv;
}

// Sends a control part (M_PROTO, or M_PCPROTO when hipri) and returns the first control reply.
inline std::vector<uint8_t> dl_request(platform::streams::StreamFile &f, const void *req,
                                       size_t len, bool hipri = false)
{
    strbuf ctl{0, static_cast<int>(len), static_cast<char *>(const_cast<void *>(req))};
    EXPECT_EQ(f.putmsg(&ctl, nullptr, hipri ? RS_HIPRI : 0), 0);
    std::vector<uint8_t> buf(256);
    std::vector<uint8_t> dbuf(2048);
    strbuf rctl{static_cast<int>(buf.size()), 0, reinterpret_cast<char *>(buf.data())};
    strbuf rdata{static_cast<int>(dbuf.size()), 0, reinterpret_cast<char *>(dbuf.data())};
    int flags = 0, more = 0;
    int err = f.getmsg(&rctl, &rdata, &flags, &more, 2000);
    EXPECT_EQ(err, 0) << "no reply";
    buf.resize(err == 0 && rctl.len > 0 ? static_cast<size_t>(rctl.len) : 0);
    return buf;
}

inline uint32_t word(const std::vector<uint8_t> &v, size_t off)
{
    uint32_t w = 0;
    if (off + 4 <= v.size())
        std::memcpy(&w, v.data() + off, 4);
    return w;
}

inline bool wait_for(const std::function<bool()> &cond, int ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace nettest

#endif
