#include "tcp_frame.h"

#include <cstdio>
#include <cstring>

namespace nvxtest
{

namespace
{

void put16(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

void put32(std::vector<uint8_t> &b, size_t at, uint32_t v)
{
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xffff);
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint32_t sum16(const std::vector<uint8_t> &b, size_t from, size_t len)
{
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < len; i += 2)
        s += (uint32_t{b[from + i]} << 8) | b[from + i + 1];
    if (len % 2)
        s += uint32_t{b[from + len - 1]} << 8;
    return s;
}

} // namespace

std::vector<uint8_t> TcpFrame::bytes() const
{
    const size_t link = snap ? 22 : 14;
    const size_t ihl = 20 + static_cast<size_t>(ip_options);
    const size_t tcp = 20;
    const size_t total = ihl + tcp + static_cast<size_t>(payload);
    std::vector<uint8_t> b(link + total, 0);
    std::memcpy(&b[0], dst_mac.data(), 6);
    std::memcpy(&b[6], src_mac.data(), 6);
    if (snap) {
        put16(b, 12, static_cast<uint32_t>(total + 8));
        const uint8_t llc[6] = {0xAA, 0xAA, 0x03, 0, 0, 0};
        std::memcpy(&b[14], llc, 6);
        put16(b, 20, ether_type);
    } else {
        put16(b, 12, ether_type);
    }
    const size_t ip = link;
    b[ip] = static_cast<uint8_t>(0x40 | (ihl / 4));
    b[ip + 1] = tos;
    put16(b, ip + 2, static_cast<uint32_t>(static_cast<int>(total) + ip_total_delta));
    put16(b, ip + 4, ip_id);
    put16(b, ip + 6, frag);
    b[ip + 8] = ttl;
    b[ip + 9] = protocol;
    put32(b, ip + 12, src_ip);
    put32(b, ip + 16, dst_ip);
    for (int i = 0; i < ip_options; i++)
        b[ip + 20 + static_cast<size_t>(i)] = 0x01; // NOP
    put16(b, ip + 10, fold(sum16(b, ip, ihl)));

    const size_t t = ip + ihl;
    put16(b, t, src_port);
    put16(b, t + 2, dst_port);
    put32(b, t + 4, seq);
    put32(b, t + 8, ack);
    b[t + 12] = 0x50;
    b[t + 13] = flags;
    put16(b, t + 14, window);
    for (int i = 0; i < payload; i++)
        b[t + 20 + static_cast<size_t>(i)] = static_cast<uint8_t>('a' + i % 26);
    const uint32_t tcpLen = static_cast<uint32_t>(tcp + static_cast<size_t>(payload));
    uint32_t s = sum16(b, t, tcpLen);
    s += (src_ip >> 16) + (src_ip & 0xffff) + (dst_ip >> 16) + (dst_ip & 0xffff) + 6 + tcpLen;
    put16(b, t + 16, fold(s));
    return b;
}

mblk_t *held_message(const std::vector<uint8_t> &frame, int dir, size_t keep)
{
    const size_t len = keep < frame.size() ? keep : frame.size();
    mblk_t *mp = allocb(len, BPRI_MED);
    if (mp == nullptr)
        return nullptr;
    std::memcpy(mp->b_datap->db_base, frame.data(), len);
    mp->b_rptr = mp->b_datap->db_base + (dir == 1 ? (len < 14 ? len : 14) : 0);
    mp->b_wptr = mp->b_datap->db_base + len;
    return mp;
}

PcapWriter::PcapWriter(std::string path) : path_(std::move(path))
{
    const uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1}; // v2.4, Ethernet
    buf_.insert(buf_.end(), reinterpret_cast<const uint8_t *>(hdr),
                reinterpret_cast<const uint8_t *>(hdr) + sizeof(hdr));
}

void PcapWriter::add(const uint8_t *data, size_t len)
{
    const uint32_t rec[4] = {1, static_cast<uint32_t>(buf_.size() % 1000000),
                             static_cast<uint32_t>(len), static_cast<uint32_t>(len)};
    buf_.insert(buf_.end(), reinterpret_cast<const uint8_t *>(rec),
                reinterpret_cast<const uint8_t *>(rec) + sizeof(rec));
    buf_.insert(buf_.end(), data, data + len);
}

void PcapWriter::close()
{
    FILE *f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr)
        return;
    std::fwrite(buf_.data(), 1, buf_.size(), f);
    std::fclose(f);
}

} // namespace nvxtest

namespace nvxtest
{

std::string bytes_of(const mblk_t *mp)
{
    std::string s;
    for (; mp != nullptr; mp = mp->b_cont)
        s.append(reinterpret_cast<const char *>(mp->b_rptr),
                 static_cast<size_t>(mp->b_wptr - mp->b_rptr));
    return s;
}

} // namespace nvxtest
