#include "framecheck.h"

#include <array>

namespace {

// The two byte tables of the table-driven Modbus CRC: entry i is the low (high) byte of the
// reflected CRC-16 register after feeding byte i into a zero register.
struct CrcTables
{
    std::array<uchar, 256> low{};
    std::array<uchar, 256> high{};

    CrcTables()
    {
        for (int i = 0; i < 256; ++i) {
            quint16 reg = quint16(i);
            for (int bit = 0; bit < 8; ++bit)
                reg = (reg & 1) ? quint16((reg >> 1) ^ 0xA001) : quint16(reg >> 1);
            low[i] = uchar(reg & 0xFF);
            high[i] = uchar(reg >> 8);
        }
    }
};

const CrcTables &tables()
{
    static const CrcTables t;
    return t;
}

} // namespace

void FrameCheck::Crc16(const uchar *data, quint16 length, uchar *crcLow, uchar *crcHigh) const
{
    const CrcTables &t = tables();
    uchar low = 0xFF;
    uchar high = 0xFF;
    for (quint16 n = 0; n < length; ++n) {
        const uchar i = low ^ data[n];
        low = t.low[i] ^ high;
        high = t.high[i];
    }
    *crcLow = low;
    *crcHigh = high;
}

bool FrameCheck::CheckFrame(const uchar *frame, quint16 length, uchar head0, uchar head1) const
{
    if (length < 5)
        return false; // too short to hold heads, length byte and CRC
    if (frame[0] != head0)
        return false;
    if (frame[1] != head1)
        return false;
    // Compared as numbers: a frame of 261 bytes or more cannot state its length in one byte.
    if (int(frame[2]) != int(length) - 5)
        return false;
    uchar low = 0;
    uchar high = 0;
    Crc16(frame, quint16(length - 2), &low, &high);
    return frame[length - 2] == high && frame[length - 1] == low;
}
