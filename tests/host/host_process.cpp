#include "host_process.h"

#include "ctl.h"
#include "wire.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace hosttest
{

namespace
{

std::size_t count_dir(const std::string &dir)
{
    std::size_t n = 0;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (dirent *e = ::readdir(d))
            if (e->d_name[0] != '.')
                ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace

HostProcess::~HostProcess()
{
    stop();
    if (!root_.empty())
        sh("rm -rf '" + root_ + "'");
}

bool HostProcess::start(const std::string &exe, const std::vector<std::string> &args)
{
    char tmpl[] = "/tmp/nvx-hosttest-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    root_ = tmpl;
    ::setenv("NVX_ROOT", root_.c_str(), 1);
    std::vector<std::string> argv_s = {exe, "--root", root_};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::string out = root_ + "/host.out";
    pid_ = ::fork();
    if (pid_ == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char *> argv;
        for (auto &s : argv_s)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text;
        if (ctl({"stats"}, &text) == 0)
            return true;
        int status;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            error_ = "host exited: " + output();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "host did not answer: " + output();
    return false;
}

int HostProcess::stop()
{
    if (pid_ < 0)
        return -1;
    ctl({"stop"});
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int HostProcess::ctl(const std::vector<std::string> &args, std::string *text)
{
    std::string t;
    int err = platform::host::ctl_command(root_, args, &t);
    if (text)
        *text = t;
    return err;
}

std::map<std::string, long long> HostProcess::stats()
{
    std::map<std::string, long long> m;
    std::string text;
    if (ctl({"stats"}, &text) != 0)
        return m;
    std::istringstream in(text);
    std::string key;
    long long v;
    while (in >> key >> v)
        m[key] = v;
    return m;
}

std::string HostProcess::output() const
{
    std::ifstream in(root_ + "/host.out");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::size_t count_fds(pid_t pid)
{
    return count_dir("/proc/" + std::to_string(pid) + "/fd");
}

std::size_t count_threads(pid_t pid)
{
    return count_dir("/proc/" + std::to_string(pid) + "/task");
}

int sh(const std::string &cmd, int timeout_s, std::string *out)
{
    std::string full = "timeout " + std::to_string(timeout_s) + " sh -c '" + cmd + "' 2>&1";
    // Single quotes inside cmd are escaped for the outer sh -c.
    std::string escaped;
    for (char ch : cmd)
        escaped += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    full = "timeout " + std::to_string(timeout_s) + " sh -c '" + escaped + "' 2>&1";
    FILE *p = ::popen(full.c_str(), "r");
    if (!p)
        return -1;
    char buf[512];
    std::string text;
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        text.append(buf, n);
    int status = ::pclose(p);
    if (out)
        *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace hosttest
