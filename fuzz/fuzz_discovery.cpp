// Any bytes as one discovery reply: the size filter, the frame test and the decoding that the
// search applies to every datagram, judged against an independent reading of the frame.

#include "deviceinfoparse.h"
#include "framecheck.h"
#include "referenceframe.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "fuzz_discovery: %s %s\n", what, qPrintable(detail));
    std::abort();
}

QStringList toList(const QString *fields)
{
    QStringList out;
    for (int i = 0; i < DeviceInfoParse::FieldCount; ++i)
        out << fields[i];
    return out;
}

// The steps the search takes for one datagram before it lists a row: exactly 105 bytes,
// copied out, the frame test with heads FA 01, then the decoding.
bool searchPath(const FrameCheck &check, const DeviceInfoParse &parse, const QByteArray &datagram,
                QStringList *row)
{
    if (datagram.size() != ReferenceFrame::ReplySize)
        return false;
    uchar buffer[ReferenceFrame::ReplySize];
    parse.CopyDatagram(datagram, buffer);
    if (!check.CheckFrame(buffer, ReferenceFrame::ReplySize, ReferenceFrame::Head0,
                          ReferenceFrame::Head1))
        return false;
    QString fields[DeviceInfoParse::FieldCount];
    parse.ParseDeviceInfo(buffer, fields);
    *row = toList(fields);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65535)
        return 0; // larger than any UDP datagram
    const FrameCheck check;
    const DeviceInfoParse parse;
    const int length = int(size);

    // 1. One datagram of any length through the search's path.
    const QByteArray datagram(reinterpret_cast<const char *>(data), length);
    QStringList row;
    const bool listed = searchPath(check, parse, datagram, &row);
    const bool expected =
            length == ReferenceFrame::ReplySize && ReferenceFrame::frameValid(data, length);
    if (listed != expected)
        fail(listed ? "listed a reply that is not valid" : "dropped a valid reply");
    if (listed && row != ReferenceFrame::row(data))
        fail("row differs:", row.join(QLatin1Char('|')));

    // 2. The frame test on any length, reading no byte beyond the ones it is given.
    if (check.CheckFrame(data, quint16(length), ReferenceFrame::Head0, ReferenceFrame::Head1) !=
        ReferenceFrame::frameValid(data, length))
        fail("frame test disagrees at length", QString::number(length));

    // 3. Decoding of any 105 bytes, valid or not, in a buffer of exactly that size.
    std::vector<uchar> record(ReferenceFrame::ReplySize, 0);
    for (int i = 0; i < length && i < ReferenceFrame::ReplySize; ++i)
        record[size_t(i)] = data[i];
    QString fields[DeviceInfoParse::FieldCount];
    parse.ParseDeviceInfo(record.data(), fields);
    if (toList(fields) != ReferenceFrame::row(record.data()))
        fail("decoding differs:", toList(fields).join(QLatin1Char('|')));

    // 4. The same record made valid is accepted; any change of a single byte is caught.
    record[0] = ReferenceFrame::Head0;
    record[1] = ReferenceFrame::Head1;
    record[2] = uchar(ReferenceFrame::ReplySize - 5);
    ReferenceFrame::seal(record.data(), ReferenceFrame::ReplySize);
    if (!check.CheckFrame(record.data(), ReferenceFrame::ReplySize, ReferenceFrame::Head0,
                          ReferenceFrame::Head1))
        fail("a sealed reply was refused");
    if (length > ReferenceFrame::ReplySize + 1) {
        const int at = data[ReferenceFrame::ReplySize] % ReferenceFrame::ReplySize;
        const uchar flip = data[ReferenceFrame::ReplySize + 1] ? data[ReferenceFrame::ReplySize + 1]
                                                               : uchar(0x01);
        record[size_t(at)] ^= flip;
        if (check.CheckFrame(record.data(), ReferenceFrame::ReplySize, ReferenceFrame::Head0,
                             ReferenceFrame::Head1))
            fail("a changed byte passed the frame test at", QString::number(at));
    }
    return 0;
}
