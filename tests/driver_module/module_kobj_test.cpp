// nvx as the loadable kernel object nvx.so, loaded the way modload does: its module
// information, the clone device and the module at work on a plumbed interface, unload refused
// while a stream is open, and what the object imports.
#include "nvxcontrol.h"

#include "backends/sink.h"
#include "console_log.h"
#include "modules.h"
#include "nic/nic.h"
#include "stack/plumb.h"
#include "stack/upper_module.h"
#include "autopush.h"
#include "streams/stream_head.h"

#include <sys/modctl.h>
#include <sys/sad.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <set>

using namespace platform::streams;

namespace
{

void autopush_nvx(const std::string &driver)
{
    FilePtr sad;
    ASSERT_EQ(open("/dev/sad/admin", FREAD | FWRITE, Caller{}, &sad), 0);
    strapush ap;
    std::memset(&ap, 0, sizeof ap);
    ap.sap_cmd = SAP_ALL;
    ap.sap_major = static_cast<major_t>(platform::ddi::find_major(driver));
    ap.sap_npush = 1;
    std::strcpy(ap.sap_list[0], "nvx");
    IoctlResult r;
    ASSERT_EQ(sad->ioctl_str(SAD_SAP, 0, &ap, sizeof ap, nullptr, 0, &r), 0);
}

} // namespace

TEST(KernelObject, LoadsWorksAndUnloadsOnlyWhenNoStreamIsOpen)
{
    platform::sad::install();
    ASSERT_EQ(platform::net::upper_modules_load(), 0);
    (void)platform::console::take();
    std::string name;
    ASSERT_EQ(platform::modules::load(NVX_SO_PATH, &name), 0);
    EXPECT_EQ(name, "nvx");
    std::string log = platform::console::take();
    const size_t banner = log.find("Quillmarch Packet Capture Driver Version 1.8\nBuilt at ");
    EXPECT_NE(banner, std::string::npos) << log;
    // _init ran once: from the loader, not also from the dynamic linker.
    EXPECT_EQ(log.find("Quillmarch", banner + 1), std::string::npos) << log;
    struct modinfo mi;
    ASSERT_NE(platform::modules::info("nvx", &mi), 0);
    EXPECT_STREQ(mi.mi_msinfo[0].msi_linkinfo, "QM PacketCapture Module 1.8");
    EXPECT_STREQ(mi.mi_msinfo[1].msi_linkinfo, "QM PacketCapture Driver 1.8");

    platform::net::NicDriverConfig cfg;
    cfg.name = "kob";
    cfg.style = 2;
    platform::net::NicInstanceConfig ic;
    ic.backend = platform::net::make_sink_backend();
    cfg.instances.push_back(std::move(ic));
    std::unique_ptr<platform::net::NicDriver> nic;
    ASSERT_EQ(platform::net::NicDriver::load(std::move(cfg), &nic), 0);
    autopush_nvx("kob");
    std::unique_ptr<platform::net::PlumbedInterface> ip;
    platform::net::PlumbConfig pc;
    pc.ifname = "kob0";
    ASSERT_EQ(platform::net::PlumbedInterface::plumb(pc, &ip), 0);

    FilePtr f;
    ASSERT_EQ(open("/dev/nvx", FREAD | FWRITE, Caller{77, 0, 0, IOC_NATIVE}, &f), 0);
    InitData rev{};
    IoctlResult r;
    ASSERT_EQ(f->ioctl_str(NVX_INIT_IOCTL, INFTIM, nullptr, 0, &rev, sizeof rev, &r), 0);
    EXPECT_EQ(rev.ulMajorRevision, 2u);
    AdapterData list{};
    ASSERT_EQ(f->ioctl_str(NVX_ADAPTER_IOCTL, INFTIM, nullptr, 0, &list, sizeof list, &r), 0);
    ASSERT_EQ(list.devnum, 1);
    EXPECT_STREQ(list.devinfo[0].devicename, "kob0");
    OpenData od{};
    std::strcpy(od.ppaname, "kob0");
    ASSERT_EQ(f->ioctl_str(NVX_OPEN_IOCTL, INFTIM, &od, sizeof od, &od, sizeof od, &r), 0);
    EXPECT_EQ(od.devinfo.dl_max_sdu, 1500u);

    EXPECT_EQ(platform::modules::unload("nvx"), EBUSY);
    f.reset();
    EXPECT_EQ(platform::modules::unload("nvx"), EBUSY); // the module instance under ip
    ip.reset();
    nic.reset();
    platform::sad::clear_all();
    EXPECT_EQ(platform::modules::unload("nvx"), 0);
    EXPECT_FALSE(platform::modules::loaded("nvx"));
}

// Everything the object imports is a platform call (found in this executable) or a C library
// memory or string basic, or vsnprintf (the trace facility's formatting).
TEST(KernelObject, ImportsOnlyPlatformCallsAndLibcBasics)
{
    std::string err;
    const std::vector<std::string> syms = platform::modules::undefined_symbols(NVX_SO_PATH, &err);
    ASSERT_TRUE(err.empty()) << err;
    ASSERT_FALSE(syms.empty());
    const std::set<std::string> libc = {"memcpy",           "memset",
                                        "memmove",          "memcmp",
                                        "memchr",           "strlen",
                                        "strcmp",           "strncmp",
                                        "strncpy",          "strcpy",
                                        "strchr",           "vsnprintf",
                                        "__stack_chk_fail", "__stack_chk_fail_local"};
    Dl_info self;
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&mod_install), &self), 0);
    bool sawPlatform = false;
    for (const std::string &s : syms) {
        if (libc.count(s) || s.rfind("__asan", 0) == 0 || s.rfind("__ubsan", 0) == 0 ||
            s.rfind("__tsan", 0) == 0 || s.rfind("__sanitizer", 0) == 0)
            continue;
        void *addr = dlsym(RTLD_DEFAULT, s.c_str());
        ASSERT_NE(addr, nullptr) << s << " is not provided by the platform";
        Dl_info where;
        ASSERT_NE(dladdr(addr, &where), 0) << s;
        EXPECT_STREQ(where.dli_fname, self.dli_fname) << s << " is not a platform symbol";
        sawPlatform = true;
    }
    EXPECT_TRUE(sawPlatform);
}
