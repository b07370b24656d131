// Loading a kernel object built as a shared object: modload-style load (dlopen, _init) and
// unload (_fini, dlclose), and its imports.
#include "modules.h"
#include "stream_head.h"

#include "console_log.h"
#include "nvx_testing.h"

#include <sys/modctl.h>

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <set>

namespace
{

using namespace platform::streams;

TEST(KernelObject, LoadsInstallsAndUnloadsLikeModload)
{
    platform::console::take();
    std::string name;
    ASSERT_EQ(platform::modules::load(TKOBJ_PATH, &name), 0);
    EXPECT_EQ(name, "tkobj");
    EXPECT_NE(platform::console::take().find("tkobj attached\n"), std::string::npos);
    EXPECT_EQ(platform::modules::load(TKOBJ_PATH), EEXIST);
    struct modinfo mi;
    ASSERT_NE(platform::modules::info("tkobj", &mi), 0);
    EXPECT_STREQ(mi.mi_msinfo[0].msi_linkinfo, "test kernel object module");
    FilePtr f;
    ASSERT_EQ(open("/dev/tkobj", FREAD | FWRITE, Caller{}, &f), 0);
    ASSERT_EQ(f->push("tkobjm"), 0);
    EXPECT_EQ(platform::modules::unload("tkobj"), EBUSY);
    f.reset();
    EXPECT_EQ(platform::modules::unload("tkobj"), 0);
    EXPECT_FALSE(platform::modules::loaded("tkobj"));
    EXPECT_EQ(open("/dev/tkobj", FREAD, Caller{}, &f), ENOENT);
    EXPECT_EQ(platform::modules::load("/nonexistent/x.so"), ENOENT);
}

// Everything the kernel object imports is either a platform call (found in this executable)
// or a C library basic.
TEST(KernelObject, ImportsOnlyPlatformAndLibcBasics)
{
    std::string err;
    std::vector<std::string> syms = platform::modules::undefined_symbols(TKOBJ_PATH, &err);
    ASSERT_TRUE(err.empty()) << err;
    ASSERT_FALSE(syms.empty());
    const std::set<std::string> libc = {
        "memcpy",  "memset",  "memmove", "memcmp", "strlen",           "strcmp",
        "strncmp", "strncpy", "strcpy",  "strchr", "__stack_chk_fail", "__stack_chk_fail_local"};
    Dl_info self;
    ASSERT_NE(dladdr(reinterpret_cast<void *>(&mod_install), &self), 0);
    for (const std::string &s : syms) {
        if (libc.count(s) || s.rfind("__asan", 0) == 0 || s.rfind("__ubsan", 0) == 0 ||
            s.rfind("__tsan", 0) == 0 || s.rfind("__sanitizer", 0) == 0)
            continue;
        void *addr = dlsym(RTLD_DEFAULT, s.c_str());
        Dl_info where;
        ASSERT_NE(addr, nullptr) << s;
        ASSERT_NE(dladdr(addr, &where), 0) << s;
        EXPECT_STREQ(where.dli_fname, self.dli_fname) << s << " is not a platform symbol";
    }
    EXPECT_TRUE(platform::modules::undefined_symbols("/nonexistent", &err).empty());
    EXPECT_FALSE(err.empty());
}

} // namespace
