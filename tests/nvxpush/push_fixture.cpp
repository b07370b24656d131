#include "push_fixture.h"

#include "sad_client.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace pushtest
{

std::string usage_text(const std::string &program)
{
    return "Usage: " + program +
           " [-l?v?p] [-]<devname>\n"
           "       if `-' is used, nvx is removed\n"
           "\t\t-v display version info\n"
           "\t\t-p load nvx driver/module\n"
           "       -l list autopushed modules\n";
}

namespace
{

// Whether exe is a 32-bit x86 program that the kernel hands to qemu through binfmt_misc
// without the P flag (preserve argv[0]): qemu then gives it the path it was executed by as
// its argv[0].
bool renamed_by_emulator(const std::string &exe)
{
    std::ifstream in(exe, std::ios::binary);
    unsigned char ident[20] = {};
    in.read(reinterpret_cast<char *>(ident), sizeof ident);
    if (!in || ident[4] != 1 /* ELFCLASS32 */ || ident[18] != 3 /* EM_386 */)
        return false;
    std::string entry = read_file("/proc/sys/fs/binfmt_misc/qemu-i386");
    if (entry.rfind("enabled", 0) != 0)
        return false;
    size_t flags = entry.find("flags:");
    if (flags == std::string::npos)
        return true;
    std::string line = entry.substr(flags, entry.find('\n', flags) - flags);
    return line.find('P') == std::string::npos;
}

} // namespace

bool is_usage(const std::string &err, const std::string &exe, const std::string &argv0)
{
    return err == usage_text(argv0) || (renamed_by_emulator(exe) && err == usage_text(exe));
}

std::string tool_name(const ::testing::TestParamInfo<Tool> &info)
{
    return info.param == Tool::native ? "ThisTreesTool" : "OtherWordSizesTool";
}

std::string tool_path(Tool tool)
{
    if (tool == Tool::native)
        return NVXPUSH_PATH;
    if (const char *env = std::getenv("NVXPUSH_PEER"); env && *env)
        return env;
    return NVXPUSH_PEER_PATH;
}

std::string expand(const std::string &text, const std::map<std::string, int> &majors)
{
    std::string s = text;
    auto replace_all = [&s](const std::string &from, const std::string &to) {
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
            s.replace(at, from.size(), to);
    };
    for (const auto &[driver, major] : majors)
        replace_all("{" + driver + "}", std::to_string(major));
    return s;
}

std::vector<std::string> words(const std::string &text)
{
    std::istringstream in(text);
    std::vector<std::string> w;
    for (std::string s; in >> s;)
        w.push_back(s);
    return w;
}

std::vector<std::string> HostSuite::default_host_args()
{
    return {"--nic",     "hme0",      "--nic",     "hme1",    "--nic",     "qfe0,style=1",
            "--modload", NVX_SO_PATH, "--modload", MODA_PATH, "--modload", MODB_PATH};
}

void SuiteHost::start(const std::vector<std::string> &args)
{
    host = std::make_unique<StreamHost>(STREAMHOST_PATH);
    if (!host->start(args)) {
        failure = "streamhost did not start: " + host->error();
        return;
    }
    saved_table = read_file(host->name_to_major_path());
    for (const char *driver : {"hme", "qfe"}) {
        majors[driver] = host->major_of(driver);
        if (majors[driver] <= 0)
            failure = std::string("no major for ") + driver + " in:\n" + saved_table;
    }
}

void HostSuite::SetUp()
{
    tool_ = tool_path(GetParam());
    if (::access(tool_.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no tool of the other word size at " << tool_
                     << " (build that tree, or set NVXPUSH_PEER)";
    ASSERT_TRUE(suite().failure.empty()) << suite().failure;
    // The tests' own SAD requests go to the suite's host.
    ::setenv("NVX_ROOT", host().root().c_str(), 1);
    // A test may have crafted the table or left autopush entries: start from the host's own.
    ASSERT_TRUE(write_file(host().name_to_major_path(), suite().saved_table));
    for (const char *driver : {"hme", "qfe"})
        sad_clear_major(major(driver), 8);
}

Outcome HostSuite::nvxpush(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv = {"nvxpush"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(tool_, argv, host().root());
}

} // namespace pushtest
