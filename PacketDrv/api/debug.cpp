/*
 * Trace facility, the part common to the kernel and the user variant: the settings, the level
 * test, message formatting and the memory dump.
 *
 * - Context: any (kernel: put procedures, timers, ioctl handlers, on several processors at once;
 *   user: any thread). Nothing here sleeps or allocates.
 * - The settings are module-wide words changed without a lock; every access is a relaxed atomic
 *   one, because a trace call that sees a stale value merely prints or omits one message and
 *   there is no other data whose visibility depends on them.
 * - Every buffer (message 1024, header 100, dump line 256 bytes) lives on the calling thread's
 *   stack, so concurrent calls cannot overwrite each other's text. Anything longer is cut.
 */
#include "debug.h"
#include "debug_variant.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

extern "C" {

int debugging = 0;
int dcurrentLevel = 0;
int dlevelType = 1;
char dheader[80] = "";
int dheader_flags = 7;

} // extern "C"

namespace
{

int load(const int *word)
{
    return __atomic_load_n(word, __ATOMIC_RELAXED);
}
void store(int *word, int value)
{
    __atomic_store_n(word, value, __ATOMIC_RELAXED);
}

/* The end of the string in line: where the next piece of a line is appended. */
char *endof(char *line)
{
    return line + strlen(line);
}

/* Appends count blanks to the string in line (size bytes in all), as far as there is room. */
void spaces(char *line, size_t size, int count)
{
    size_t len = strlen(line);
    while (count-- > 0 && len + 1 < size)
        line[len++] = ' ';
    line[len] = '\0';
}

/* Host-order 16-bit word from two bytes, assembled without a (possibly unaligned) word load. */
unsigned hostWord(const unsigned char *p)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    return static_cast<unsigned>(p[0]) << 8 | p[1];
#else
    return static_cast<unsigned>(p[1]) << 8 | p[0];
#endif
}

} // namespace

extern "C" {

void _dappendf(char *buf, size_t size, const char *fmt, ...)
{
    size_t len = strlen(buf);
    if (len + 1 >= size)
        return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf + len, size - len, fmt, ap);
    va_end(ap);
    if (n < 0)
        buf[len] = '\0';
}

size_t _dheader_name(char *name)
{
    size_t len = 0;
    while (len < sizeof dheader - 1) {
        char c = __atomic_load_n(&dheader[len], __ATOMIC_RELAXED);
        if (c == '\0')
            break;
        name[len++] = c;
    }
    name[len] = '\0';
    return len;
}

void _debug(int flag)
{
    store(&debugging, flag);
}

void _dbiton(int flags)
{
    __atomic_fetch_or(&debugging, flags, __ATOMIC_RELAXED);
}

void _dbitoff(int flags)
{
    __atomic_fetch_and(&debugging, ~flags, __ATOMIC_RELAXED);
}

void _dget_debug(int *pflag)
{
    if (pflag != nullptr)
        *pflag = load(&debugging);
}

void _dsetheader(const char *h, int flags)
{
    size_t len = 0;
    if (h != nullptr) {
        while (len < sizeof dheader - 1 && h[len] != '\0') {
            __atomic_store_n(&dheader[len], h[len], __ATOMIC_RELAXED);
            ++len;
        }
    }
    __atomic_store_n(&dheader[len], '\0', __ATOMIC_RELAXED);
    store(&dheader_flags, flags);
}

void _dsetlevel(int l, int t)
{
    store(&dcurrentLevel, l);
    store(&dlevelType, t);
}

int _dlevel(int l)
{
    if (l == 0)
        return 1;
    int current = load(&dcurrentLevel);
    if (load(&dlevelType) == 2)
        return (l & current) != 0;
    if (current < 0) {
        /* Only the single level -current passes; INT_MIN has no positive counterpart. */
        return current != INT_MIN && l == -current;
    }
    return l <= current;
}

void _dvprintf(const char *fmt, va_list ap)
{
    _dprint_header();
    char msg[DMSG_SIZE];
    if (vsnprintf(msg, sizeof msg, fmt, ap) < 0)
        msg[0] = '\0';
    _output(msg);
}

void(_dprintf)(const char *fmt, ...)
{
    if (!_dtracing())
        return;
    va_list ap;
    va_start(ap, fmt);
    _dvprintf(fmt, ap);
    va_end(ap);
}

void(_dlprintf)(int level, const char *fmt, ...)
{
    if (!_dtracing() || !_dlevel(level))
        return;
    va_list ap;
    va_start(ap, fmt);
    _dvprintf(fmt, ap);
    va_end(ap);
}

void _dprintv(const char *fmt, ...)
{
    char msg[DMSG_SIZE];
    va_list ap;
    va_start(ap, fmt);
    if (vsnprintf(msg, sizeof msg, fmt, ap) < 0)
        msg[0] = '\0';
    va_end(ap);
    _output(msg);
}

/*
 * Line layout: leader, address, " - ", linelen positions (two characters each in byte mode; in
 * word mode a word "0x%04x," on every second position), a blank after every second position and
 * two more after every eighth (not with flag exactly 1); byte mode then adds "-  " and one
 * character per position. A position before the first byte (absolute mode, first line) or past
 * the last one is blank. In word mode a lone last byte (odd count) is no whole word: both of its
 * positions are blank, and it is never read as half of a word.
 */
void _dumpmem2(uintptr_t offset, const char *addr, int n, int flag, const char *leader, int linelen)
{
    if (addr == nullptr || n <= 0 || linelen <= 0)
        return;
    if (leader == nullptr)
        leader = "";
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(addr);
    const bool relative = (flag & 1) != 0;
    const bool words = (flag & 2) != 0;
    const int indent = relative ? 0 : static_cast<int>(offset % static_cast<unsigned>(linelen));
    uintptr_t shown = relative ? 0 : offset - static_cast<uintptr_t>(indent);
    const long last = static_cast<long>(n) - 1; /* index of the last byte */
    long next = 0;                              /* index of the next byte to show */
    const int maxLines = n / linelen + 1 + (indent != 0 ? 1 : 0);

    for (int lineNo = 0; lineNo < maxLines && next <= last; ++lineNo) {
        char line[DLINE_SIZE];
        line[0] = '\0';
        if (n <= 65535)
            _dappendf(line, sizeof line, "%s%04x - ", leader, static_cast<unsigned>(shown));
        else
            _dappendf(line, sizeof line, "%s%08x - ", leader, static_cast<unsigned>(shown));

        const long lineStart = next;
        const int skip = lineNo == 0 ? indent : 0;
        for (int pos = 0; pos < linelen; ++pos) {
            if (pos < skip) {
                spaces(line, sizeof line, 2);
            } else if (!words) {
                if (next > last) {
                    spaces(line, sizeof line, 2);
                } else {
                    _dappendf(line, sizeof line, "%02x", bytes[next]);
                    ++next;
                }
            } else {
                const bool wholeWord = next + 1 <= last;
                if (pos & 1) {
                    if (wholeWord) {
                        _dappendf(line, sizeof line, "0x%04x,", hostWord(bytes + next));
                        next += 2;
                    } else {
                        spaces(line, sizeof line, 2);
                        if (next <= last)
                            next = last + 1; /* the lone last byte is shown as blanks */
                    }
                } else if (!wholeWord) {
                    spaces(line, sizeof line, 2);
                }
            }
            if (pos & 1)
                spaces(line, sizeof line, 1);
            if ((pos & 7) == 7 && flag != 1)
                spaces(line, sizeof line, 2);
        }
        shown += static_cast<uintptr_t>(linelen);

        if (!words) {
            _dappendf(line, sizeof line, "-  ");
            long shownByte = lineStart;
            for (int pos = 0; pos < linelen; ++pos) {
                char c = ' ';
                if (pos >= skip && shownByte <= last) {
                    unsigned char b = bytes[shownByte++];
                    c = b >= 0x20 && b <= 0x7e ? static_cast<char>(b) : '.';
                }
                char *end = endof(line);
                if (end + 1 < line + sizeof line) {
                    end[0] = c;
                    end[1] = '\0';
                }
            }
        }
        _dappendf(line, sizeof line, "\n");
        if (!words && lineNo % 8 == 7)
            _dappendf(line, sizeof line, "\n");
        _output(line);
    }
}

void dumpmem(const char *addr, int n)
{
    _dumpmem2(reinterpret_cast<uintptr_t>(addr), addr, n, 1, "", 16);
}

void _dumpmem(const char *addr, int n, int flag)
{
    if (!_dtracing())
        return;
    _dumpmem2(reinterpret_cast<uintptr_t>(addr), addr, n, flag, "", 16);
}

void(_dldumpmem)(int level, const char *addr, int n, int flag)
{
    if (!_dtracing() || !_dlevel(level))
        return;
    _dumpmem2(reinterpret_cast<uintptr_t>(addr), addr, n, flag, "", 16);
}

} // extern "C"
