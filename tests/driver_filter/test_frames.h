// Frames for the filter, flood and bypass checks, built in message blocks whose data buffers
// have exactly the frame's size (heap buffers of their own, so AddressSanitizer reports any byte
// read in front of the buffer or past the write pointer).
//
// The checks only read a message, so the blocks are made here rather than with allocb: the
// platform's block cache rounds buffer sizes up, which would hide a read past the write pointer.
#ifndef NVX_TESTS_DRIVER_FILTER_TEST_FRAMES_H
#define NVX_TESTS_DRIVER_FILTER_TEST_FRAMES_H

#include <sys/stream.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "nvx.h"

namespace test_frames
{

// An IPv4 address as the driver compares it: first octet most significant.
constexpr std::uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

struct FrameShape {
    int dir = DIR_INBOUND;     // inbound: the link header lies in front of the read pointer
    std::uint32_t src = 0;     // IP source
    std::uint32_t dst = 0;     // IP destination
    std::uint8_t protocol = 6; // IP protocol
    std::uint16_t linkType = 0x0800;
    std::size_t length = 54; // bytes from the link header's start; cut or padded to this
    bool unitdata = false;   // wrap the data block behind an M_PROTO control block
};

// One frame: its data block and, for unitdata frames, the control block in front of it.
class Frame
{
  public:
    explicit Frame(const FrameShape &shape)
    {
        // Whole frame first: Ethernet II header, then a 20-byte IPv4 header, then zeros.
        std::vector<std::uint8_t> bytes(std::max<std::size_t>(shape.length, 54), 0);
        for (int i = 0; i < 6; i++) {
            bytes[i] = 0x02;     // destination MAC
            bytes[6 + i] = 0x04; // source MAC
        }
        bytes[12] = static_cast<std::uint8_t>(shape.linkType >> 8);
        bytes[13] = static_cast<std::uint8_t>(shape.linkType);
        std::uint8_t *iph = bytes.data() + 14;
        iph[0] = 0x45;
        iph[3] = 40;
        iph[8] = 64;
        iph[9] = shape.protocol;
        put32(iph + 12, shape.src);
        put32(iph + 16, shape.dst);
        bytes.resize(shape.length);
        init(bytes, shape.dir == DIR_INBOUND ? std::min<std::size_t>(14, shape.length) : 0,
             shape.unitdata);
    }

    // A data block holding exactly these bytes, the read pointer front bytes in.
    Frame(const std::vector<std::uint8_t> &bytes, std::size_t front, bool unitdata = false)
    {
        init(bytes, front, unitdata);
    }

    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;

    mblk_t *message() { return unitdata_ ? &ctlBlock_ : &dataBlock_; }

  private:
    static void put32(std::uint8_t *p, std::uint32_t v)
    {
        p[0] = static_cast<std::uint8_t>(v >> 24);
        p[1] = static_cast<std::uint8_t>(v >> 16);
        p[2] = static_cast<std::uint8_t>(v >> 8);
        p[3] = static_cast<std::uint8_t>(v);
    }

    void init(const std::vector<std::uint8_t> &bytes, std::size_t front, bool unitdata)
    {
        size_ = bytes.size();
        buffer_ = std::make_unique<std::uint8_t[]>(size_);
        if (size_ != 0) {
            std::memcpy(buffer_.get(), bytes.data(), size_);
        }
        dataDb_.db_base = buffer_.get();
        dataDb_.db_lim = buffer_.get() + size_;
        dataDb_.db_type = M_DATA;
        dataDb_.db_ref = 1;
        dataBlock_.b_datap = &dataDb_;
        dataBlock_.b_rptr = buffer_.get() + front;
        dataBlock_.b_wptr = buffer_.get() + size_;

        unitdata_ = unitdata;
        ctlBuffer_ = std::make_unique<std::uint8_t[]>(24);
        ctlDb_.db_base = ctlBuffer_.get();
        ctlDb_.db_lim = ctlBuffer_.get() + 24;
        ctlDb_.db_type = M_PROTO;
        ctlDb_.db_ref = 1;
        ctlBlock_.b_datap = &ctlDb_;
        ctlBlock_.b_rptr = ctlBuffer_.get();
        ctlBlock_.b_wptr = ctlBuffer_.get() + 24;
        ctlBlock_.b_cont = &dataBlock_;
    }

    std::size_t size_ = 0;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::unique_ptr<std::uint8_t[]> ctlBuffer_;
    dblk_t dataDb_{};
    mblk_t dataBlock_{};
    dblk_t ctlDb_{};
    mblk_t ctlBlock_{};
    bool unitdata_ = false;
};

} // namespace test_frames

#endif
