#include "frame/ether.h"

#include <cstdio>

namespace platform::net
{

namespace
{
int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

std::optional<MacAddr> parse_mac(std::string_view text)
{
    if (text.size() != 17)
        return std::nullopt;
    MacAddr mac{};
    for (std::size_t i = 0; i < kEtherAddrLen; i++) {
        int hi = hex_digit(text[i * 3]);
        int lo = hex_digit(text[i * 3 + 1]);
        if (hi < 0 || lo < 0 || (i < 5 && text[i * 3 + 2] != ':'))
            return std::nullopt;
        mac[i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    return mac;
}

std::string format_mac(const MacAddr &mac)
{
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return buf;
}

std::optional<std::uint32_t> parse_ipv4(std::string_view text)
{
    std::uint32_t addr = 0;
    unsigned octets = 0;
    std::size_t i = 0;
    while (octets < 4) {
        unsigned value = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            i++;
            digits++;
        }
        if (digits == 0 || value > 255)
            return std::nullopt;
        addr = (addr << 8) | value;
        octets++;
        if (octets < 4) {
            if (i >= text.size() || text[i] != '.')
                return std::nullopt;
            i++;
        }
    }
    if (i != text.size())
        return std::nullopt;
    return addr;
}

} // namespace platform::net
