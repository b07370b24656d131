#include "stream_host.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pushtest
{

std::string make_temp_root(const char *tag)
{
    std::string tmpl = std::string("/tmp/nvx-") + tag + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data()))
        return "";
    return buf.data();
}

void remove_tree(const std::string &dir)
{
    std::error_code ec;
    if (!dir.empty())
        std::filesystem::remove_all(dir, ec);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

StreamHost::~StreamHost()
{
    stop();
    remove_tree(root_);
}

bool StreamHost::start(const std::vector<std::string> &args)
{
    root_ = make_temp_root("pushtest");
    if (root_.empty()) {
        error_ = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> argv_s = {exe_, "--root", root_};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::string out = root_ + "/host.out";
    pid_ = ::fork();
    if (pid_ == 0) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char *> argv;
        for (auto &s : argv_s)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        ::execv(exe_.c_str(), argv.data());
        ::_exit(127);
    }
    if (pid_ < 0) {
        error_ = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ctl({"stats"}).status == 0)
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

int StreamHost::stop()
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

Outcome StreamHost::ctl(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv = {"streamhost", "--root", root_, "ctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(exe_, argv, root_, 30);
}

std::string StreamHost::output() const
{
    return read_file(root_ + "/host.out");
}

int StreamHost::major_of(const std::string &driver) const
{
    std::istringstream in(read_file(name_to_major_path()));
    std::string name;
    long major;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream l(line);
        if (l >> name >> major && name == driver)
            return static_cast<int>(major);
    }
    return -1;
}

} // namespace pushtest
