#include "stream_host.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

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

Outcome StreamHost::ctl(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv = {"streamhost", "--root", root(), "ctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(exe_, argv, root(), 30);
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
