// Any bytes as the replies to one device search: the input is split into datagrams that a box
// on loopback sends to a real main window in a real search; the table must list exactly the
// valid replies, once per address, and the search must end.

#include "discoverypeer.h"
#include "fuzzsupport.h"
#include "localwait.h"
#include "mainwindow.h"
#include "referenceframe.h"
#include "scripteddialogs.h"
#include "searchwindow.h"

#include <QApplication>
#include <QLabel>
#include <QSet>

#include <cstdint>

namespace {

// Up to this many datagrams per search, each at most this long: enough for every case of the
// filter, small enough that the socket buffer never overflows and a search stays quick.
constexpr int MaxDatagrams = 32;
constexpr int MaxDatagramSize = 1500;

struct SearchRig
{
    ScriptedDialogs dialogs;
    DiscoveryPeer boxes;
    MainWindow window;

    void usePort(quint16 port) { window.setEndpoints(boxes.endpoints(port)); }
};

SearchRig *rig = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzApp<QApplication>();
    LocalWait::setTimeScaleForTests(0.005); // a search takes a few ms per input
    rig = new SearchRig;
    rig->usePort(freeUdpPort());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Each datagram is a two-byte header and its bytes: the low 11 bits give the length (cut to
    // what is left), the top bit asks for the CRC to be made right, so that the fuzzer also
    // reaches the rows of frames it could not seal itself.
    QList<QByteArray> datagrams;
    QList<QStringList> expected;
    QSet<QString> seen;
    for (size_t pos = 0; pos + 2 <= size && datagrams.size() < MaxDatagrams;) {
        const int header = (data[pos] << 8) | data[pos + 1];
        pos += 2;
        const int length = qMin(qMin(header & 0x07FF, MaxDatagramSize), int(size - pos));
        QByteArray d(reinterpret_cast<const char *>(data + pos), length);
        pos += size_t(length);
        if (header & 0x8000)
            ReferenceFrame::seal(&d);
        datagrams << d;
        const auto *frame = reinterpret_cast<const uchar *>(d.constData());
        if (length != ReferenceFrame::ReplySize || !ReferenceFrame::frameValid(frame, length))
            continue;
        const QStringList row = ReferenceFrame::row(frame);
        if (!seen.contains(row.first()))
            expected << row;
        seen << row.first();
    }

    rig->dialogs.clear();
    rig->boxes.requests.clear();
    rig->boxes.replies = datagrams;
    const bool ended = SearchWindow::search(&rig->window);
    if (!rig->dialogs.calls.isEmpty()) {
        // Someone else took the port between the probe and the bind: move and skip this input.
        rig->usePort(freeUdpPort());
        return 0;
    }
    if (!ended)
        fuzzFail("the search did not end; state:",
                 rig->window.findChild<QLabel *>(QStringLiteral("label_Search_State"))->text());
    if (rig->boxes.requests.size() != 1 ||
        rig->boxes.requests.first().bytes != ReferenceFrame::request())
        fuzzFail("not one discovery request");

    const QList<QStringList> shown = SearchWindow::rows(&rig->window);
    if (shown != expected)
        fuzzFail("the table differs from the valid replies; rows shown:",
                 QString::number(shown.size()));
    return 0;
}
