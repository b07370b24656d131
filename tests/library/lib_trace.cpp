#include "lib_trace.h"

#include "nvxapi.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace libtest
{

namespace
{

std::string temp_path(const char *stem)
{
    char tmpl[64];
    std::snprintf(tmpl, sizeof tmpl, "/tmp/nvx-libtest-%s-XXXXXX", stem);
    int fd = ::mkstemp(tmpl);
    if (fd >= 0)
        ::close(fd);
    return tmpl;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace

int count_of(const std::string &text, const std::string &s)
{
    int n = 0;
    for (size_t at = text.find(s); at != std::string::npos; at = text.find(s, at + s.size()))
        ++n;
    return n;
}

TraceFile::TraceFile() : path_(temp_path("trace"))
{
    PacketSetParameter("debug.file", path_.c_str());
}

TraceFile::~TraceFile()
{
    _debug(0);
    _dclose();
    ::unlink(path_.c_str());
}

std::string TraceFile::text() const
{
    if (dbgfp)
        std::fflush(dbgfp);
    return read_file(path_);
}

int TraceFile::count(const std::string &s) const
{
    return count_of(text(), s);
}

StderrCapture::StderrCapture() : path_(temp_path("stderr"))
{
    std::fflush(stderr);
    saved_ = ::dup(2);
    int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
    ::dup2(fd, 2);
    ::close(fd);
}

std::string StderrCapture::finish()
{
    if (saved_ >= 0) {
        std::fflush(stderr);
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
        text_ = read_file(path_);
        ::unlink(path_.c_str());
    }
    return text_;
}

StderrCapture::~StderrCapture()
{
    finish();
}

} // namespace libtest
