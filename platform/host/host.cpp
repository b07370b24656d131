#include "host.h"

#include "connection.h"
#include "nics.h"
#include "wire.h"

#include "console_log.h"
#include "modules.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform::host
{

namespace
{

std::string errtext(const std::string &what, int err)
{
    return what + ": " + std::strerror(err);
}

// Creates dir with mode 0700, or accepts an existing one only if it is a real directory (not
// a symbolic link) of ours that nobody else can enter.
std::string owner_only_dir(const std::string &dir)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return errtext("mkdir " + dir, errno);
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0)
        return errtext(dir, errno);
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return dir + ": must be a directory owned by uid " + std::to_string(::geteuid()) +
               " with mode 0700";
    return "";
}

// Writes a file through a temporary name and rename, so readers see the old or the new text.
bool write_file_atomically(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = ::close(fd) == 0 && ok;
    return ok && ::rename(tmp.c_str(), path.c_str()) == 0;
}

} // namespace

Host::Host(HostOptions opts) : opts_(std::move(opts)) {}

Host::~Host()
{
    for (int fd : {listen_fd_, wake_fd_, signal_fd_})
        if (fd >= 0)
            ::close(fd);
}

std::string Host::prepare_root()
{
    if (opts_.root.empty() || opts_.root[0] != '/')
        return "root directory must be an absolute path, not '" + opts_.root + "'";
    if (std::string err = owner_only_dir(opts_.root); !err.empty())
        return err;
    if (std::string err = owner_only_dir(opts_.root + "/etc"); !err.empty())
        return err;
    return "";
}

std::string Host::open_socket()
{
    socket_path_ = opts_.root + "/" + wire::kSocketName;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    if (socket_path_.size() >= sizeof sa.sun_path)
        return socket_path_ + ": path too long for a socket";
    std::memcpy(sa.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        return errtext("socket", errno);
    // A socket file left behind by a host that died is replaced; a live host is not.
    int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        bool live = ::connect(probe, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        ::close(probe);
        if (live)
            return "a host is already running on " + socket_path_;
    }
    ::unlink(socket_path_.c_str());
    mode_t old = ::umask(077);
    int rc = ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    int e = errno;
    ::umask(old);
    if (rc != 0)
        return errtext("bind " + socket_path_, e);
    if (::chmod(socket_path_.c_str(), 0600) != 0)
        return errtext("chmod " + socket_path_, errno);
    if (::listen(listen_fd_, 128) != 0)
        return errtext("listen", errno);
    return "";
}

bool Host::autoload(const std::string &name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return false;
    for (const std::string &dir : opts_.module_path) {
        std::string path = dir + "/" + name + ".so";
        if (::access(path.c_str(), R_OK) != 0)
            continue;
        std::string loaded;
        if (platform::modules::load(path, &loaded) == 0) {
            std::lock_guard<std::mutex> g(loaded_m_);
            loaded_.push_back(loaded);
            return true;
        }
    }
    return false;
}

std::string Host::start()
{
    // Signals are taken through a signalfd: block them before any thread starts.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    signal_fd_ = ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signal_fd_ < 0 || wake_fd_ < 0)
        return errtext("signalfd/eventfd", errno);

    if (std::string err = prepare_root(); !err.empty())
        return err;
    std::string console = opts_.root + "/" + wire::kConsoleName;
    ::unlink(console.c_str());
    platform::console::set_log_file(console);
    platform::console::set_echo(opts_.echo_console);
    platform::modules::set_autoload([this](const std::string &name) { return autoload(name); });

    std::lock_guard<std::mutex> g(admin_m_);
    if (std::string err = load_nics(opts_.nics, &drivers_); !err.empty())
        return err;
    for (const std::string &path : opts_.modload) {
        std::string name;
        if (int err = platform::modules::load(path, &name))
            return errtext("modload " + path, err);
        std::lock_guard<std::mutex> lg(loaded_m_);
        loaded_.push_back(name);
    }
    std::string text;
    for (const std::string &ifname : opts_.plumb)
        if (plumb_locked(ifname, &text) != 0)
            return text;
    for (const auto &[a, b] : opts_.bridges)
        if (bridge_locked(a, b, &text) != 0)
            return text;
    tables_changed();
    return open_socket();
}

void Host::tables_changed()
{
    std::string text = "# driver name to major number table of the emulated kernel\n" +
                       platform::ddi::name_to_major_text();
    std::lock_guard<std::mutex> g(tables_m_);
    if (text == name_to_major_written_)
        return;
    if (write_file_atomically(opts_.root + "/" + wire::kNameToMajor, text))
        name_to_major_written_ = text;
}

void Host::request_stop()
{
    stopping_.store(true, std::memory_order_release);
    std::uint64_t one = 1;
    while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Host::connection_finished()
{
    std::uint64_t one = 1;
    while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Host::accept_one()
{
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0) {
        ::close(fd);
        return;
    }
    auto c = std::make_shared<Connection>(*this, fd, peer, next_id_++);
    {
        std::lock_guard<std::mutex> g(conns_m_);
        conns_.push_back(c);
    }
    c->start();
}

void Host::reap(bool all)
{
    std::list<std::shared_ptr<Connection>> done;
    {
        std::lock_guard<std::mutex> g(conns_m_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (all || (*it)->finished()) {
                done.push_back(*it);
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
    }
    done.clear(); // joins their threads
}

int Host::run()
{
    std::fprintf(stdout, "streamhost: ready on %s\n", socket_path_.c_str());
    std::fflush(stdout);
    while (!stopping_.load(std::memory_order_acquire)) {
        pollfd p[3] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
        if (::poll(p, 3, -1) < 0 && errno != EINTR)
            break;
        if (p[2].revents & POLLIN) {
            signalfd_siginfo si;
            while (::read(signal_fd_, &si, sizeof si) > 0) {
            }
            stopping_.store(true, std::memory_order_release);
        }
        if (p[1].revents & POLLIN) {
            std::uint64_t v;
            while (::read(wake_fd_, &v, sizeof v) > 0) {
            }
        }
        reap(false);
        if (p[0].revents & POLLIN)
            accept_one();
    }
    teardown();
    return 0;
}

void Host::teardown()
{
    ::close(listen_fd_);
    listen_fd_ = -1;
    ::unlink(socket_path_.c_str());
    {
        std::lock_guard<std::mutex> g(conns_m_);
        for (auto &c : conns_)
            c->shut_down();
    }
    reap(true); // every stream is closed when this returns
    std::lock_guard<std::mutex> g(admin_m_);
    for (auto &[name, p] : plumbed_) {
        p.ip->bridge_to(nullptr);
        p.arp->bridge_to(nullptr);
    }
    plumbed_.clear();
    drivers_.clear();
    std::lock_guard<std::mutex> lg(loaded_m_);
    for (auto it = loaded_.rbegin(); it != loaded_.rend(); ++it)
        platform::modules::unload(*it);
    loaded_.clear();
    platform::modules::set_autoload(nullptr);
    platform::console::set_log_file("");
}

} // namespace platform::host
