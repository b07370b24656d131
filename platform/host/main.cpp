// streamhost: start the host, or send it an admin command (streamhost ctl ...).
#include "ctl.h"
#include "host.h"
#include "options.h"

#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

using namespace platform::host;

namespace
{

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "streamhost: %s\n(streamhost --help tells the options)\n", what.c_str());
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    enum { kRoot = 1, kConfig, kNic, kModulePath, kModload, kPlumb, kBridge, kEcho, kHelp };
    static const option longopts[] = {
        {"root", required_argument, nullptr, kRoot},
        {"config", required_argument, nullptr, kConfig},
        {"nic", required_argument, nullptr, kNic},
        {"module-path", required_argument, nullptr, kModulePath},
        {"modload", required_argument, nullptr, kModload},
        {"plumb", required_argument, nullptr, kPlumb},
        {"bridge", required_argument, nullptr, kBridge},
        {"echo-console", no_argument, nullptr, kEcho},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    HostOptions opts;
    std::string root;
    // "+": stop at the first non-option, so that "ctl" and its arguments are left alone.
    int ch;
    while ((ch = getopt_long(argc, argv, "+h", longopts, nullptr)) != -1) {
        switch (ch) {
        case kRoot:
            root = optarg;
            break;
        case kConfig:
            if (std::string err = read_config_file(optarg, &opts); !err.empty())
                return usage_error(err);
            break;
        case kNic: {
            NicSpec n;
            if (std::string err = parse_nic_spec(optarg, &n); !err.empty())
                return usage_error(err);
            opts.nics.push_back(std::move(n));
            break;
        }
        case kModulePath:
            opts.module_path.push_back(optarg);
            break;
        case kModload:
            opts.modload.push_back(optarg);
            break;
        case kPlumb:
            opts.plumb.push_back(optarg);
            break;
        case kBridge: {
            std::string s = optarg;
            size_t comma = s.find(',');
            if (comma == std::string::npos)
                return usage_error("--bridge wants IF,IF");
            opts.bridges.emplace_back(s.substr(0, comma), s.substr(comma + 1));
            break;
        }
        case kEcho:
            opts.echo_console = true;
            break;
        case 'h':
        case kHelp:
            std::fputs(usage_text(), stdout);
            return 0;
        default:
            return usage_error("unknown option");
        }
    }
    opts.root = resolve_root(root);
    if (optind < argc) {
        if (std::strcmp(argv[optind], "ctl") != 0)
            return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
        std::vector<std::string> args(argv + optind + 1, argv + argc);
        if (args.empty())
            return usage_error("ctl needs a command");
        return run_ctl(opts.root, args);
    }
    if (std::string err = check_options(&opts); !err.empty())
        return usage_error(err);
    Host host(std::move(opts));
    if (std::string err = host.start(); !err.empty()) {
        std::fprintf(stderr, "streamhost: %s\n", err.c_str());
        return 1;
    }
    return host.run();
}
