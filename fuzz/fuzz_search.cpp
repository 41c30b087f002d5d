// Any bytes as the replies to one device search: the input is split into datagrams that a box
// on loopback sends to a real main window in a real search; the table must list exactly the
// valid replies, once per address, and the search must end.

#include "discoverypeer.h"
#include "localwait.h"
#include "mainwindow.h"
#include "referenceframe.h"
#include "scripteddialogs.h"
#include "texts.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSet>
#include <QTableView>
#include <QTest>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

    void usePort(quint16 port)
    {
        Endpoints e;
        e.discoveryBindPort = port;
        e.discoveryAddress = QStringLiteral("127.0.0.1"); // never the real broadcast
        e.discoveryTargetPort = boxes.port();
        window.setEndpoints(e);
    }
};

SearchRig *rig = nullptr;

void fail(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "fuzz_search: %s %s\n", what, qPrintable(detail));
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_search";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
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
    rig->window.findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"))->click();
    if (!rig->dialogs.calls.isEmpty()) {
        // Someone else took the port between the probe and the bind: move and skip this input.
        rig->usePort(freeUdpPort());
        return 0;
    }
    const auto *state = rig->window.findChild<QLabel *>(QStringLiteral("label_Search_State"));
    if (!QTest::qWaitFor([state] { return state->text() == Texts::SearchCompleted; }, 10000))
        fail("the search did not end; state:", state->text());
    if (rig->boxes.requests.size() != 1 ||
        rig->boxes.requests.first().bytes != ReferenceFrame::request())
        fail("not one discovery request");

    const QAbstractItemModel *model =
            rig->window.findChild<QTableView *>(QStringLiteral("tableView"))->model();
    QList<QStringList> shown;
    for (int r = 0; r < model->rowCount(); ++r) {
        shown << QStringList();
        for (int c = 0; c < model->columnCount(); ++c)
            shown.last() << model->index(r, c).data().toString();
    }
    if (shown != expected)
        fail("the table differs from the valid replies; rows shown:",
             QString::number(shown.size()));
    return 0;
}
