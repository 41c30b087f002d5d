// Any bytes as one discovery reply: the size filter, the frame test and the decoding that the
// search applies to every datagram, judged against an independent reading of the frame.

#include "discovery.h"
#include "framecheck.h"
#include "fuzzsupport.h"
#include "referenceframe.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65535)
        return 0; // larger than any UDP datagram
    const int length = int(size);
    using ReferenceFrame::ReplySize;

    // 1. One datagram of any length through the search's path.
    const QByteArray datagram(reinterpret_cast<const char *>(data), length);
    const bool valid = length == ReplySize && ReferenceFrame::frameValid(data, length);
    const QStringList row = Discovery::decodeReply(datagram);
    fuzzCheck(row == (valid ? ReferenceFrame::row(data) : QStringList()),
              "search path differs:", row.join(QLatin1Char('|')));

    // 2. The frame test on any length, reading no byte beyond the ones it is given.
    fuzzCheck(FrameCheck().CheckFrame(data, quint16(length), ReferenceFrame::Head0,
                                      ReferenceFrame::Head1) ==
                      ReferenceFrame::frameValid(data, length),
              "frame test disagrees at length", QString::number(length));

    // 3. Any 105 bytes made into a valid reply are decoded as the reference reads them.
    QByteArray record = datagram.left(ReplySize).leftJustified(ReplySize, '\0');
    record[0] = char(ReferenceFrame::Head0);
    record[1] = char(ReferenceFrame::Head1);
    record[2] = char(ReplySize - 5);
    ReferenceFrame::seal(&record);
    const auto *bytes = reinterpret_cast<const uchar *>(record.constData());
    fuzzCheck(Discovery::decodeReply(record) == ReferenceFrame::row(bytes), "decoding differs");
    return 0;
}
