#include "pcap/pcap_file.h"

#include <cerrno>
#include <cstring>

namespace platform::net
{

namespace
{
std::uint32_t load_host32(const std::uint8_t *p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
std::uint32_t bswap32(std::uint32_t v)
{
    return __builtin_bswap32(v);
}
} // namespace

PcapReader::~PcapReader()
{
    close();
}

void PcapReader::close()
{
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
}

std::uint32_t PcapReader::word(const std::uint8_t *p) const
{
    std::uint32_t v = load_host32(p);
    return swapped_ ? bswap32(v) : v;
}

bool PcapReader::open(const std::string &path)
{
    close();
    error_.clear();
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) {
        error_ = path + ": " + std::strerror(errno);
        return false;
    }
    std::uint8_t hdr[kPcapGlobalHeaderLen];
    if (std::fread(hdr, 1, sizeof hdr, file_) != sizeof hdr) {
        error_ = path + ": short global header";
        close();
        return false;
    }
    std::uint32_t magic = load_host32(hdr);
    if (magic == kPcapMagicMicro || magic == kPcapMagicNano) {
        swapped_ = false;
    } else if (bswap32(magic) == kPcapMagicMicro || bswap32(magic) == kPcapMagicNano) {
        swapped_ = true;
        magic = bswap32(magic);
    } else {
        error_ = path + ": not a capture file (bad magic)";
        close();
        return false;
    }
    nano_ = magic == kPcapMagicNano;
    std::uint16_t major =
        static_cast<std::uint16_t>(swapped_ ? (hdr[4] << 8) | hdr[5] : (hdr[5] << 8) | hdr[4]);
    if (major != 2) {
        error_ = path + ": unsupported version";
        close();
        return false;
    }
    snap_len_ = word(hdr + 16);
    link_type_ = word(hdr + 20);
    // A zero or absurd snap length is tolerated; record lengths are then bounded by the
    // reader's own maximum only.
    if (snap_len_ == 0 || snap_len_ > kPcapMaxRecord)
        snap_len_ = kPcapMaxRecord;
    return true;
}

PcapReader::Next PcapReader::next(PcapRecord &rec)
{
    if (!file_) {
        error_ = "not open";
        return Next::error;
    }
    std::uint8_t hdr[kPcapRecordHeaderLen];
    std::size_t got = std::fread(hdr, 1, sizeof hdr, file_);
    if (got == 0 && std::feof(file_))
        return Next::end;
    if (got != sizeof hdr) {
        error_ = "truncated record header";
        return Next::error;
    }
    rec.ts_sec = word(hdr);
    rec.ts_usec = nano_ ? word(hdr + 4) / 1000 : word(hdr + 4);
    std::uint32_t caplen = word(hdr + 8);
    rec.orig_len = word(hdr + 12);
    if (caplen > snap_len_) {
        error_ = "record length " + std::to_string(caplen) + " exceeds the snap length";
        return Next::error;
    }
    rec.data.resize(caplen);
    if (caplen && std::fread(rec.data.data(), 1, caplen, file_) != caplen) {
        error_ = "truncated record data";
        return Next::error;
    }
    return Next::record;
}

bool PcapReader::rewind()
{
    if (!file_)
        return false;
    return std::fseek(file_, static_cast<long>(kPcapGlobalHeaderLen), SEEK_SET) == 0;
}

PcapWriter::~PcapWriter()
{
    close();
}

bool PcapWriter::open(const std::string &path, std::uint32_t snap_len, std::uint32_t link_type)
{
    close();
    error_.clear();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        error_ = path + ": " + std::strerror(errno);
        return false;
    }
    snap_len_ = snap_len;
    std::uint32_t magic = kPcapMagicMicro;
    std::uint16_t major = 2, minor = 4;
    std::int32_t zone = 0;
    std::uint32_t sigfigs = 0;
    std::uint8_t hdr[kPcapGlobalHeaderLen];
    std::memcpy(hdr, &magic, 4);
    std::memcpy(hdr + 4, &major, 2);
    std::memcpy(hdr + 6, &minor, 2);
    std::memcpy(hdr + 8, &zone, 4);
    std::memcpy(hdr + 12, &sigfigs, 4);
    std::memcpy(hdr + 16, &snap_len, 4);
    std::memcpy(hdr + 20, &link_type, 4);
    if (std::fwrite(hdr, 1, sizeof hdr, file_) != sizeof hdr) {
        error_ = path + ": write failed";
        return false;
    }
    return true;
}

bool PcapWriter::write(std::uint32_t ts_sec, std::uint32_t ts_usec, const std::uint8_t *data,
                       std::size_t len)
{
    if (!file_) {
        error_ = "not open";
        return false;
    }
    std::uint32_t caplen = static_cast<std::uint32_t>(len > snap_len_ ? snap_len_ : len);
    std::uint32_t orig = static_cast<std::uint32_t>(len);
    std::uint8_t hdr[kPcapRecordHeaderLen];
    std::memcpy(hdr, &ts_sec, 4);
    std::memcpy(hdr + 4, &ts_usec, 4);
    std::memcpy(hdr + 8, &caplen, 4);
    std::memcpy(hdr + 12, &orig, 4);
    if (std::fwrite(hdr, 1, sizeof hdr, file_) != sizeof hdr ||
        std::fwrite(data, 1, caplen, file_) != caplen) {
        error_ = "write failed";
        return false;
    }
    return true;
}

bool PcapWriter::close()
{
    if (!file_)
        return true;
    bool ok = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!ok)
        error_ = "close failed";
    return ok;
}

} // namespace platform::net
