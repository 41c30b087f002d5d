#pragma once

#include <QtGlobal>

// CRC-16/MODBUS and the test every discovery frame must pass.
class FrameCheck
{
public:
    // Stores the low and high byte of the CRC-16/MODBUS of `length` bytes at `data`.
    void Crc16(const uchar *data, quint16 length, uchar *crcLow, uchar *crcHigh) const;

    // Head bytes, length byte (length - 5), then the CRC stored high byte first.
    bool CheckFrame(const uchar *frame, quint16 length, uchar head0, uchar head1) const;
};
