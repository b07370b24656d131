#include <sys/mman.h> // before the platform headers, which define PROT_* only when missing
#include <unistd.h>

#include "module_fixture.h"

#include "debug.h"
#include "nvxmain.h"

#include "console_log.h"
#include "modules.h"
#include "autopush.h"
#include "nic/nic_impl.h"
#include "stack/upper_module.h"

#include <sys/sad.h>

#include <cstring>

namespace modtest
{

using namespace platform::streams;
using namespace platform::net;

Region::~Region()
{
    if (base != nullptr)
        munmap(base, length);
}

void ModuleTest::SetUp()
{
    platform::sad::install();
    ASSERT_EQ(upper_modules_load(), 0);
    ASSERT_EQ(
        platform::modules::load_builtin("nvx", nvx_linked_init, nvx_linked_fini, nvx_linked_info),
        0);
    (void)console();
}

void ModuleTest::TearDown()
{
    for (auto &p : plumbed_)
        if (p)
            p->unplumb();
    plumbed_.clear();
    nics_.clear();
    platform::sad::clear_all();
    _debug(0);
    _dsetlevel(0, 0);
    EXPECT_EQ(platform::modules::unload("nvx"), 0);
}

MacAddr ModuleTest::nic_mac(const std::string &, unsigned ppa)
{
    return MacAddr{0x02, 0x00, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(0x10 + ppa)};
}

static void set_autopush(const std::string &driver)
{
    FilePtr sad;
    ASSERT_EQ(open("/dev/sad/admin", FREAD | FWRITE, Caller{}, &sad), 0);
    strapush ap;
    std::memset(&ap, 0, sizeof ap);
    ap.sap_cmd = SAP_ALL;
    const long major = platform::ddi::find_major(driver);
    ASSERT_GE(major, 0) << driver;
    ap.sap_major = static_cast<major_t>(major);
    ap.sap_npush = 1;
    std::strcpy(ap.sap_list[0], "nvx");
    IoctlResult r;
    ASSERT_EQ(sad->ioctl_str(SAD_SAP, 0, &ap, sizeof ap, nullptr, 0, &r), 0);
}

NicDriver *ModuleTest::add_nic(const std::string &name, int style, unsigned ppas, bool autopush)
{
    NicDriverConfig cfg;
    cfg.name = name;
    cfg.style = style;
    for (unsigned i = 0; i < ppas; i++) {
        NicInstanceConfig ic;
        ic.ppa = i;
        ic.mac = nic_mac(name, i);
        ic.backend = make_sink_backend(true);
        cfg.instances.push_back(std::move(ic));
    }
    std::unique_ptr<NicDriver> drv;
    EXPECT_EQ(NicDriver::load(std::move(cfg), &drv), 0) << name;
    if (!drv)
        return nullptr;
    if (autopush)
        set_autopush(name);
    nics_.push_back(std::move(drv));
    return nics_.back().get();
}

FrameCollector *ModuleTest::sent_by(const std::string &ifname)
{
    Nic *nic = nic_find(ifname);
    return nic != nullptr ? sink_collector(nic->backend()) : nullptr;
}

PlumbedInterface *ModuleTest::plumb(const std::string &ifname, const char *module, bool keep)
{
    std::unique_ptr<PlumbedInterface> p;
    PlumbConfig cfg;
    cfg.ifname = ifname;
    cfg.module = module;
    cfg.keep = keep;
    cfg.caller = Caller{100, 0, 0, IOC_NATIVE};
    EXPECT_EQ(PlumbedInterface::plumb(cfg, &p), 0) << ifname << " " << module;
    if (!p)
        return nullptr;
    plumbed_.push_back(std::move(p));
    return plumbed_.back().get();
}

void ModuleTest::unplumb(PlumbedInterface *p)
{
    for (auto &q : plumbed_)
        if (q.get() == p) {
            q->unplumb();
            q.reset();
        }
}

FilePtr ModuleTest::open_nvx(const Caller &who)
{
    FilePtr f;
    EXPECT_EQ(open("/dev/nvx", FREAD | FWRITE, who, &f), 0);
    return f;
}

int ModuleTest::ioctl(StreamFile &f, int cmd, const void *in, size_t len, void *out, size_t cap,
                      IoctlResult *r)
{
    IoctlResult local;
    return f.ioctl_str(cmd, INFTIM, in, len, out, cap, r != nullptr ? r : &local);
}

int ModuleTest::open_adapter(StreamFile &f, const std::string &name, U32 mode, OpenData *reply)
{
    OpenData req;
    std::memset(&req, 0, sizeof req);
    req.ulOpenMode = mode;
    std::strncpy(req.ppaname, name.c_str(), sizeof req.ppaname - 1);
    OpenData out;
    const int rc = ioctl(f, NVX_OPEN_IOCTL, &req, sizeof req, &out, sizeof out);
    if (rc == 0 && reply != nullptr)
        *reply = out;
    return rc;
}

int ModuleTest::create_rx(StreamFile &f, U32 bufSize, U32 flags, CreateRxData *reply)
{
    CreateRxData req{bufSize, flags};
    CreateRxData out{};
    const int rc = ioctl(f, NVX_CREATE_RX_IOCTL, &req, sizeof req, &out, sizeof out);
    if (rc == 0 && reply != nullptr)
        *reply = out;
    return rc;
}

int ModuleTest::config(StreamFile &f, U32 type, U32 sub, U32 arg)
{
    ConfigData c{type, sub, arg};
    return ioctl(f, NVX_CONFIG_IOCTL, &c, sizeof c);
}

int ModuleTest::add_filter(StreamFile &f, U32 ip, U8 mask, U8 proto, U8 dir)
{
    FilterElement e{ip, mask, proto, dir, 0};
    return ioctl(f, NVX_ADD_FILTER_IOCTL, &e, sizeof e);
}

int ModuleTest::ignore(StreamFile &f, U32 ip, U32 seconds, U32 proto)
{
    IgnoreData d{seconds, ip, proto};
    return ioctl(f, NVX_IGNORE_IOCTL, &d, sizeof d);
}

int ModuleTest::bypass(StreamFile &f, U32 ip)
{
    BypassData d{ip, 0};
    return ioctl(f, NVX_BYPASS_IOCTL, &d, sizeof d);
}

std::unique_ptr<Region> ModuleTest::map(StreamFile &f, size_t len)
{
    Mapping m;
    if (f.mmap(0, len, &m) != 0)
        return nullptr;
    auto r = std::make_unique<Region>();
    void *p = ::mmap(nullptr, m.length, PROT_READ | PROT_WRITE, MAP_SHARED, m.fd, m.offset);
    ::close(m.fd);
    if (p == MAP_FAILED)
        return nullptr;
    r->base = p;
    r->length = m.length;
    return r;
}

std::unique_ptr<Region> ModuleTest::start_capture(StreamFile &f, const std::string &name, U32 flags,
                                                  U32 mode, U32 bufSize)
{
    EXPECT_EQ(open_adapter(f, name, mode), 0) << name;
    CreateRxData reply{};
    EXPECT_EQ(create_rx(f, bufSize, flags, &reply), 0) << name;
    auto r = map(f, reply.ulBufSize);
    EXPECT_NE(r, nullptr);
    return r;
}

U32 ModuleTest::read_request(StreamFile &f, Region &r)
{
    char ctl[sizeof(ReadData)] = {};
    strbuf c{0, static_cast<int>(sizeof ctl), ctl};
    EXPECT_EQ(f.putmsg(&c, nullptr, RS_HIPRI), 0);
    return __atomic_load_n(&r.rb()->nvx_errno, __ATOMIC_RELAXED);
}

std::vector<Seen> ModuleTest::read_frames(StreamFile &f, Region &r)
{
    std::vector<Seen> out;
    const U32 status = read_request(f, r);
    if (status != NVX_READ_FRAMES)
        return out;
    for (;;) {
        void *blob = nullptr;
        U32 len = 0;
        if (CircularQueueDequeueIntermediate(r.queue(), &blob, &len) != PACKET_SUCCESS)
            break;
        U32 infoLength;
        std::memcpy(&infoLength, blob, sizeof infoLength);
        auto *pb = reinterpret_cast<PACKET_BUFFER *>(static_cast<char *>(blob) + infoLength);
        const auto *data = reinterpret_cast<const std::uint8_t *>(pb) + pb->lDataOffset;
        out.push_back({pb, std::vector<std::uint8_t>(data, data + pb->ulCapturedBytes)});
    }
    return out;
}

void ModuleTest::receive(const std::string &ifname, const std::vector<std::uint8_t> &frame)
{
    Nic *nic = nic_find(ifname);
    ASSERT_NE(nic, nullptr) << ifname;
    nic->impl()->receive(frame.data(), frame.size());
}

std::vector<std::uint8_t> udp_in(const MacAddr &dst, unsigned peer, std::uint16_t port,
                                 size_t payload)
{
    std::vector<std::uint8_t> f, data(payload, 0x5a);
    build_udp_frame(f, {dst, kPeerMac}, {peer_ip(peer), kStationIp, 1, 64}, port, 7, data);
    return f;
}

std::vector<std::uint8_t> udp_out(const MacAddr &src, unsigned peer, std::uint16_t port,
                                  size_t payload)
{
    std::vector<std::uint8_t> f, data(payload, 0xa5);
    build_udp_frame(f, {kPeerMac, src}, {kStationIp, peer_ip(peer), 1, 64}, 7, port, data);
    return f;
}

std::vector<std::uint8_t> tcp_in(const MacAddr &dst, unsigned peer)
{
    std::vector<std::uint8_t> f, data(20, 0x11);
    build_tcp_frame(f, {dst, kPeerMac}, {peer_ip(peer), kStationIp, 2, 64},
                    {40000, 80, 1000, 2000, kTcpAck | kTcpPsh}, data);
    return f;
}

std::string console()
{
    return platform::console::take();
}

bool contains(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

} // namespace modtest
