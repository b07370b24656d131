/*
 * streamhost: the process that hosts the emulated kernel for other processes.
 *
 * Start: the root directory (owner-only), the console log, the NIC drivers of the
 * configuration with their backends, the kernel objects to load, the interfaces to plumb and
 * bridge, then the socket (mode 0600). Run: one Connection per accepted client (see
 * connection.h); finished connections are reaped by the accept loop. Stop (ctl stop, SIGINT,
 * SIGTERM): every connection is shut down and its stream closed, the interfaces are
 * unplumbed, the NIC drivers unloaded and the kernel objects we loaded unloaded.
 *
 * Locks: conns_m_ guards conns_; admin_m_ serialises admin commands and guards the plumbing
 * records; loaded_m_ guards the list of modules we loaded; tables_m_ guards the last name_to_major
 * text written. Order: admin_m_ before conns_m_. No stream call is made with conns_m_ held.
 */
#ifndef NVX_PLATFORM_HOST_HOST_H
#define NVX_PLATFORM_HOST_HOST_H

#include "options.h"

#include "nic/nic.h"
#include "stack/plumb.h"

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::host
{

class Connection;

class Host
{
  public:
    explicit Host(HostOptions opts);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    // Everything up to a listening socket. Returns "" or what failed.
    std::string start();
    // Serves until stopped; then tears everything down. Returns the exit status.
    int run();

    // Any thread.
    void request_stop();
    void connection_finished();
    // Rewrites etc/name_to_major when the kernel's table has changed.
    void tables_changed();

    // Runs one admin command; *out gets its text, *stop whether the host is to stop after
    // the reply. Returns 0 or an errno value (the text then says what failed).
    int admin(const std::vector<std::string> &args, std::string *out, bool *stop);

  private:
    struct Plumbed {
        std::unique_ptr<platform::net::PlumbedInterface> ip;
        std::unique_ptr<platform::net::PlumbedInterface> arp;
        std::string bridged_to;
    };

    std::string prepare_root();
    std::string open_socket();
    void accept_one();
    void reap(bool all);
    void teardown();
    bool autoload(const std::string &name);

    int plumb_locked(const std::string &ifname, std::string *out);
    int unplumb_locked(const std::string &ifname, std::string *out);
    int bridge_locked(const std::string &a, const std::string &b, std::string *out);
    void unbridge_locked(const std::string &ifname);
    std::string interfaces_text_locked();
    std::string streams_text();
    std::string stats_text();

    HostOptions opts_;
    std::string socket_path_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;   // eventfd: a connection finished or a stop was asked for
    int signal_fd_ = -1; // SIGINT, SIGTERM
    std::atomic<bool> stopping_{false};
    std::uint64_t next_id_ = 1;

    std::mutex conns_m_;
    std::list<std::shared_ptr<Connection>> conns_;

    std::mutex admin_m_;
    std::vector<std::unique_ptr<platform::net::NicDriver>> drivers_;
    std::map<std::string, Plumbed> plumbed_;

    std::mutex loaded_m_;             // not admin_m_: an open inside an admin command autoloads
    std::vector<std::string> loaded_; // modules loaded by us, in order

    std::mutex tables_m_;
    std::string name_to_major_written_;
};

} // namespace platform::host

#endif
