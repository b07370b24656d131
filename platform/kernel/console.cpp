/*
 * Kernel console. Output is kept in memory for the tests and optionally copied to a log file and
 * standard error. Context: any; one mutex orders the pieces so that concurrent callers never
 * interleave inside a piece.
 */
#include "console_log.h"

#include <sys/cmn_err.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#undef printf

namespace platform::console
{
namespace
{

struct Console {
    std::mutex lock;
    std::string kept;
    std::FILE *file = nullptr;
    bool echo = std::getenv("NVX_CONSOLE_ECHO") != nullptr;
};

Console &console()
{
    static Console c;
    return c;
}

void write_piece(const std::string &text)
{
    Console &c = console();
    std::lock_guard<std::mutex> guard(c.lock);
    c.kept += text;
    if (c.file) {
        std::fputs(text.c_str(), c.file);
        std::fflush(c.file);
    }
    if (c.echo)
        std::fputs(text.c_str(), stderr);
}

std::string format(const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n <= 0)
        return {};
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, ap);
    out.resize(static_cast<size_t>(n));
    return out;
}

void vcmn_err(int level, const char *fmt, va_list ap)
{
    if (level == CE_IGNORE)
        return;
    if (*fmt == '!' || *fmt == '^' || (*fmt == '?' && level == CE_CONT))
        ++fmt;
    std::string text = format(fmt, ap);
    switch (level) {
    case CE_NOTE:
        text = "NOTICE: " + text + "\n";
        break;
    case CE_WARN:
        text = "WARNING: " + text + "\n";
        break;
    case CE_PANIC:
        text = "panic: " + text + "\n";
        break;
    default:
        break;
    }
    write_piece(text);
    if (level == CE_PANIC) {
        std::fputs(text.c_str(), stderr);
        std::abort();
    }
}

} // namespace

std::string take()
{
    Console &c = console();
    std::lock_guard<std::mutex> guard(c.lock);
    std::string out;
    out.swap(c.kept);
    return out;
}

std::string peek()
{
    Console &c = console();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.kept;
}

void set_log_file(const std::string &path)
{
    Console &c = console();
    std::lock_guard<std::mutex> guard(c.lock);
    if (c.file)
        std::fclose(c.file);
    c.file = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
}

void set_echo(bool on)
{
    Console &c = console();
    std::lock_guard<std::mutex> guard(c.lock);
    c.echo = on;
}

} // namespace platform::console

extern "C" void cmn_err(int level, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    platform::console::vcmn_err(level, fmt, ap);
    va_end(ap);
}

extern "C" void kprintf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    platform::console::vcmn_err(CE_CONT, fmt, ap);
    va_end(ap);
}

extern "C" void panic(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    platform::console::vcmn_err(CE_PANIC, fmt, ap);
    va_end(ap);
    std::abort();
}
