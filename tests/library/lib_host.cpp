#include "lib_host.h"

#include "nvx_user.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace libtest
{

namespace
{

std::string host_tree()
{
    const char *t = std::getenv("NVX_LIB_HOST_TREE");
    return t && *t ? std::string(t) : std::string();
}

long major_of(const std::string &driver)
{
    std::ifstream in(nvx_platform_path("/etc/name_to_major"));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string name;
        long major;
        if (!line.empty() && line[0] != '#' && (ls >> name >> major) && name == driver)
            return major;
    }
    return -1;
}

} // namespace

PPAData *open_record(const ADAPTER_INFO *pai)
{
    if (pai->aulReserved[0] == 0 || !(pai->ulProperties & ADAPTER_PROP_OPEN))
        return nullptr;
    for (PPAData *p = pList; p; p = p->pNext)
        if (p->ulLink == pai->aulReserved[0])
            return p;
    return nullptr;
}

std::string streamhost_exe()
{
    std::string tree = host_tree();
    return tree.empty() ? std::string(LIBTEST_STREAMHOST) : tree + "/platform/host/streamhost";
}

std::string nvx_object()
{
    std::string tree = host_tree();
    return tree.empty() ? std::string(LIBTEST_NVX) : tree + "/PacketDrv/driver/nvx.so";
}

std::string driver_of(const std::string &ifname)
{
    std::string name = ifname.substr(0, ifname.find(','));
    size_t n = name.size();
    while (n > 0 && name[n - 1] >= '0' && name[n - 1] <= '9')
        --n;
    return name.substr(0, n);
}

bool LibHost::autopush_nvx(const std::string &driver)
{
    long major = major_of(driver);
    if (major < 0) {
        error_ = "no major for " + driver;
        return false;
    }
    int sad = nvx_open("/dev/sad/admin", O_RDWR);
    if (sad < 0) {
        error_ = std::string("/dev/sad/admin: ") + std::strerror(errno);
        return false;
    }
    struct strapush sap;
    std::memset(&sap, 0, sizeof sap);
    sap.sap_cmd = SAP_ALL;
    sap.sap_major = static_cast<major_t>(major);
    sap.sap_npush = 1;
    std::strcpy(sap.sap_list[0], "nvx");
    int rc = nvx_ioctl(sad, SAD_SAP, &sap);
    int err = errno;
    nvx_close(sad);
    if (rc != 0) {
        error_ = "SAD_SAP " + driver + ": " + std::strerror(err);
        return false;
    }
    return true;
}

bool LibHost::start(const std::vector<std::string> &nics, const std::vector<std::string> &plumb,
                    bool autopush)
{
    std::vector<std::string> args;
    std::set<std::string> drivers;
    for (const std::string &n : nics) {
        args.push_back("--nic");
        args.push_back(n);
        drivers.insert(driver_of(n));
    }
    args.push_back("--modload");
    args.push_back(nvx_object());
    if (!h.start(streamhost_exe(), args)) {
        error_ = h.error();
        return false;
    }
    if (autopush)
        for (const std::string &d : drivers)
            if (!autopush_nvx(d))
                return false;
    for (const std::string &ifname : plumb) {
        std::string text;
        if (h.ctl({"plumb", ifname}, &text) != 0) {
            error_ = "plumb " + ifname + ": " + text;
            return false;
        }
    }
    return true;
}

std::string LibHost::console()
{
    std::string text;
    h.ctl({"console"}, &text);
    return text;
}

bool LibHost::await_console(const std::string &text, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (console().find(text) != std::string::npos)
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

long long LibHost::counter(const std::string &ifname, const std::string &name)
{
    std::string text;
    if (h.ctl({"interfaces"}, &text) != 0)
        return -1;
    // The interface's block runs from its "<ifname>: driver" line to the next such line.
    size_t at = text.find(ifname + ": driver");
    if (at == std::string::npos)
        return -1;
    size_t end = text.find(": driver", at + ifname.size() + 8);
    std::string block = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::string key = name;
    if (name.rfind("ip:", 0) == 0) {
        size_t s = block.find("stream ip");
        if (s == std::string::npos)
            return -1;
        block = block.substr(s, block.find('\n', s) - s);
        key = name.substr(3);
    }
    size_t k = block.find(" " + key + " ");
    if (k == std::string::npos)
        return -1;
    return std::atoll(block.c_str() + k + key.size() + 2);
}

bool write_pcap(const std::string &path, const std::vector<std::vector<unsigned char>> &frames)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    auto put32 = [&](std::uint32_t v) { std::fwrite(&v, 4, 1, f); };
    auto put16 = [&](std::uint16_t v) { std::fwrite(&v, 2, 1, f); };
    put32(0xa1b2c3d4);
    put16(2);
    put16(4);
    put32(0);
    put32(0);
    put32(65535);
    put32(1); // Ethernet
    std::uint32_t t = 0;
    for (const auto &fr : frames) {
        put32(t++);
        put32(0);
        put32(static_cast<std::uint32_t>(fr.size()));
        put32(static_cast<std::uint32_t>(fr.size()));
        std::fwrite(fr.data(), 1, fr.size(), f);
    }
    return std::fclose(f) == 0;
}

} // namespace libtest
