// nvx_demo: the nvx kernel object at work on the emulated platform, in one process.
//
// Starts two simulated interfaces with generated traffic (hme0: a style-2 DLPI driver, le0: a
// style-1 one), loads nvx.so the way modload does, adds nvx to both drivers' autopush lists
// through /dev/sad/admin, plumbs ip and arp on both interfaces, then acts as a small sensor on
// /dev/nvx: lists the adapters, dumps the driver's adapter table, captures on hme0 for a
// moment through the mapped region, and closes. Every line the kernel prints is shown as
// "console| ...".
//
//   nvx_demo [path/to/nvx.so] [seconds]
#include "CircularQueue.h"
#include "nvxcontrol.h"

#include "backends/generator.h"
#include "console_log.h"
#include "modules.h"
#include "nic/nic.h"
#include "stack/plumb.h"
#include "stack/upper_module.h"
#include "autopush.h"
#include "streams/stream_head.h"

#include <sys/mman.h>
#include <sys/sad.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace platform::streams;
namespace net = platform::net;

namespace
{

void show_console()
{
    std::istringstream lines(platform::console::take());
    for (std::string line; std::getline(lines, line);)
        std::printf("console| %s\n", line.c_str());
    std::fflush(stdout);
}

int fail(const char *what, int err)
{
    show_console();
    std::fprintf(stderr, "nvx_demo: %s: %s\n", what, std::strerror(err));
    return 1;
}

int load_nic(const char *name, int style, std::uint8_t last, std::uint64_t seed,
             std::unique_ptr<net::NicDriver> *out)
{
    net::NicDriverConfig cfg;
    cfg.name = name;
    cfg.style = style;
    net::NicInstanceConfig ic;
    ic.ppa = 0;
    ic.mac = net::MacAddr{0x02, 0x00, 0x00, 0x00, 0x00, last};
    net::GeneratorConfig gen;
    gen.seed = seed;
    gen.station_mac = ic.mac;
    gen.station_ip = net::ipv4(198, 18, last, 1);
    gen.pacing.frames_per_second = 200;
    gen.pacing.max_milliseconds = 60000;
    ic.backend = net::make_generator_backend(gen);
    cfg.instances.push_back(std::move(ic));
    return net::NicDriver::load(std::move(cfg), out);
}

int autopush(const char *driver)
{
    FilePtr sad;
    if (int err = open("/dev/sad/admin", FREAD | FWRITE, Caller{}, &sad))
        return err;
    strapush ap;
    std::memset(&ap, 0, sizeof ap);
    ap.sap_cmd = SAP_ALL;
    ap.sap_major = static_cast<major_t>(platform::ddi::find_major(driver));
    ap.sap_npush = 1;
    std::strcpy(ap.sap_list[0], "nvx");
    IoctlResult r;
    return sad->ioctl_str(SAD_SAP, 0, &ap, sizeof ap, nullptr, 0, &r);
}

int ioctl(StreamFile &f, int cmd, const void *in, size_t len, void *out, size_t cap)
{
    IoctlResult r;
    return f.ioctl_str(cmd, INFTIM, in, len, out, cap, &r);
}

} // namespace

int main(int argc, char **argv)
{
    const std::string object = argc > 1 ? argv[1] : NVX_SO_PATH;
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 2;

    platform::sad::install();
    if (int err = net::upper_modules_load())
        return fail("ip and arp modules", err);
    std::unique_ptr<net::NicDriver> hme, le;
    if (int err = load_nic("hme", 2, 0x21, 1, &hme))
        return fail("NIC hme (style 2)", err);
    if (int err = load_nic("le", 1, 0x22, 2, &le))
        return fail("NIC le (style 1)", err);
    std::printf("== interfaces hme0 (style 2) and le0 (style 1) with generated traffic\n");

    std::string name;
    if (int err = platform::modules::load(object, &name))
        return fail(object.c_str(), err);
    std::printf("== loaded %s as module \"%s\"\n", object.c_str(), name.c_str());
    show_console();

    for (const char *drv : {"hme", "le"})
        if (int err = autopush(drv))
            return fail("autopush", err);
    std::printf("== nvx on the autopush lists of hme and le; plumbing ip and arp\n");
    std::vector<std::unique_ptr<net::PlumbedInterface>> plumbed;
    for (const char *ifname : {"hme0", "le0"})
        for (const char *module : {"ip", "arp"}) {
            net::PlumbConfig cfg;
            cfg.ifname = ifname;
            cfg.module = module;
            std::unique_ptr<net::PlumbedInterface> p;
            if (int err = net::PlumbedInterface::plumb(cfg, &p))
                return fail("plumb", err);
            plumbed.push_back(std::move(p));
        }
    show_console();

    FilePtr dev;
    if (int err = open("/dev/nvx", FREAD | FWRITE, Caller{getpid(), 0, 0, IOC_NATIVE}, &dev))
        return fail("/dev/nvx", err);
    InitData rev{};
    if (int err = ioctl(*dev, NVX_INIT_IOCTL, nullptr, 0, &rev, sizeof rev))
        return fail("NVX_INIT_IOCTL", err);
    AdapterData list{};
    if (int err = ioctl(*dev, NVX_ADAPTER_IOCTL, nullptr, 0, &list, sizeof list))
        return fail("NVX_ADAPTER_IOCTL", err);
    std::printf("== driver revision %u.%u, %d adapters:\n", rev.ulMajorRevision,
                rev.ulMinorRevision, list.devnum);
    for (int i = 0; i < list.devnum; i++) {
        const ppaInfo &p = list.devinfo[i];
        std::printf("   %-8s style 0x%x sdu %u mac %02x:%02x:%02x:%02x:%02x:%02x\n", p.devicename,
                    p.dl_provider_style, p.dl_max_sdu, p.aucMacAddress[0], p.aucMacAddress[1],
                    p.aucMacAddress[2], p.aucMacAddress[3], p.aucMacAddress[4], p.aucMacAddress[5]);
    }
    std::printf("== the driver's state dump (adapter table included):\n");
    ConfigData dump{NVX_CONFIG_DEBUG, NVX_CONFIG_DUMP_ALL, 0};
    if (int err = ioctl(*dev, NVX_CONFIG_IOCTL, &dump, sizeof dump, nullptr, 0))
        return fail("NVX_CONFIG_IOCTL", err);
    show_console();

    std::printf("== capturing on hme0 for %d s\n", seconds);
    OpenData od{};
    std::strcpy(od.ppaname, "hme0");
    if (int err = ioctl(*dev, NVX_OPEN_IOCTL, &od, sizeof od, &od, sizeof od))
        return fail("NVX_OPEN_IOCTL", err);
    CreateRxData rx{1 << 20, CM_PROMISCUOUS};
    if (int err = ioctl(*dev, NVX_CREATE_RX_IOCTL, &rx, sizeof rx, &rx, sizeof rx))
        return fail("NVX_CREATE_RX_IOCTL", err);
    Mapping m;
    if (int err = dev->mmap(0, rx.ulBufSize, &m))
        return fail("mmap", err);
    void *base = ::mmap(nullptr, m.length, PROT_READ | PROT_WRITE, MAP_SHARED, m.fd, m.offset);
    ::close(m.fd);
    if (base == MAP_FAILED)
        return fail("mmap", errno);
    auto *rb = static_cast<RcvBuffer *>(base);
    void *queue = static_cast<char *>(base) + NVX_RCVBUFFER_SIZE;
    unsigned long frames = 0, in = 0, bytes = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        char ctl[sizeof(ReadData)] = {};
        strbuf c{0, sizeof ctl, ctl};
        if (dev->putmsg(&c, nullptr, RS_HIPRI) != 0 || rb->nvx_errno != NVX_READ_FRAMES)
            continue;
        void *blob;
        U32 len;
        while (CircularQueueDequeueIntermediate(queue, &blob, &len) == PACKET_SUCCESS) {
            U32 infoLength;
            std::memcpy(&infoLength, blob, sizeof infoLength);
            auto *pb = reinterpret_cast<PACKET_BUFFER *>(static_cast<char *>(blob) + infoLength);
            const auto *f = reinterpret_cast<const unsigned char *>(pb) + pb->lDataOffset;
            if (frames < 5)
                std::printf("   frame %u %s %u bytes type %02x%02x\n", pb->ulSequence,
                            pb->ulStatus == PB_MARK_INBOUND ? "in " : "out", pb->ulCapturedBytes,
                            f[12], f[13]);
            frames++;
            in += pb->ulStatus == PB_MARK_INBOUND;
            bytes += pb->ulCapturedBytes;
        }
    }
    std::printf("== captured %lu frames (%lu inbound), %lu bytes\n", frames, in, bytes);
    ::munmap(base, m.length);
    dev.reset(); // stops the capture: every held frame goes on
    show_console();

    plumbed.clear();
    hme.reset();
    le.reset();
    platform::sad::clear_all();
    const int rc = platform::modules::unload("nvx");
    show_console();
    std::printf("== unloaded nvx: %s\n", rc == 0 ? "ok" : std::strerror(rc));
    return rc == 0 ? 0 : 1;
}
