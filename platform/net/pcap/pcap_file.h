/*
 * Classic capture files: a 24-byte global header (magic, version 2.4, time zone, accuracy,
 * snap length, link type) followed by records of a 16-byte header (seconds, microseconds or
 * nanoseconds, captured length, original length) and the captured bytes.
 *
 * The reader accepts both byte orders (told by the magic) and both time resolutions; it never
 * trusts a record length: a captured length above the file's snap length or above
 * kPcapMaxRecord, or a record cut short by the end of the file, ends the reading with an error.
 * The writer writes the host's byte order with the microsecond magic.
 */
#ifndef NVX_NET_PCAP_FILE_H
#define NVX_NET_PCAP_FILE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform::net
{

constexpr std::uint32_t kPcapMagicMicro = 0xa1b2c3d4;
constexpr std::uint32_t kPcapMagicNano = 0xa1b23c4d;
constexpr std::uint32_t kPcapLinkEthernet = 1;
constexpr std::uint32_t kPcapMaxRecord = 262144;
constexpr std::size_t kPcapGlobalHeaderLen = 24;
constexpr std::size_t kPcapRecordHeaderLen = 16;

struct PcapRecord {
    std::uint32_t ts_sec = 0;
    std::uint32_t ts_usec = 0; // microseconds, also for nanosecond files (divided)
    std::uint32_t orig_len = 0;
    std::vector<std::uint8_t> data;
};

class PcapReader
{
  public:
    PcapReader() = default;
    PcapReader(const PcapReader &) = delete;
    PcapReader &operator=(const PcapReader &) = delete;
    ~PcapReader();

    // Opens the file and reads its global header. False with error() set on failure.
    bool open(const std::string &path);
    void close();

    enum class Next { record, end, error };
    // Reads the next record into rec (its data buffer is reused).
    Next next(PcapRecord &rec);
    // Back to the first record (for looping replays).
    bool rewind();

    const std::string &error() const { return error_; }
    std::uint32_t link_type() const { return link_type_; }
    std::uint32_t snap_len() const { return snap_len_; }
    bool swapped() const { return swapped_; }
    bool nanosecond() const { return nano_; }

  private:
    std::uint32_t word(const std::uint8_t *p) const;

    std::FILE *file_ = nullptr;
    std::string error_;
    bool swapped_ = false;
    bool nano_ = false;
    std::uint32_t snap_len_ = 0;
    std::uint32_t link_type_ = 0;
};

class PcapWriter
{
  public:
    PcapWriter() = default;
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;
    ~PcapWriter();

    bool open(const std::string &path, std::uint32_t snap_len = 65535,
              std::uint32_t link_type = kPcapLinkEthernet);
    // Writes one record; a frame longer than the snap length is cut to it (orig_len keeps the
    // frame's length).
    bool write(std::uint32_t ts_sec, std::uint32_t ts_usec, const std::uint8_t *data,
               std::size_t len);
    bool close();

    const std::string &error() const { return error_; }

  private:
    std::FILE *file_ = nullptr;
    std::string error_;
    std::uint32_t snap_len_ = 0;
};

} // namespace platform::net

#endif
