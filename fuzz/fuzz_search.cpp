// Any bytes as the replies to one device search: the input is split into datagrams that a box
// on loopback sends to a real main window in a real search; the table must list exactly the
// valid replies, once per address, and the search must end.

#include "fuzzdialogs.h"
#include "localwait.h"
#include "mainwindow.h"
#include "referenceframe.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QLabel>
#include <QList>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QSet>
#include <QStringList>
#include <QTableView>
#include <QUdpSocket>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// Up to this many datagrams per search, each at most this long: enough for every case of the
// filter, small enough that the socket buffer never overflows and a search stays quick.
constexpr int MaxDatagrams = 32;
constexpr int MaxDatagramSize = 1500;
// A search pauses 500 ms and collects for 2000 ms; scaled to a few ms per input.
constexpr double TimeScale = 0.005;
constexpr int SearchLimitMs = 10000;

const QByteArray Request = QByteArray::fromHex("fa0100003c61");

[[noreturn]] void fail(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "fuzz_search: %s %s\n", what, qPrintable(detail));
    std::abort();
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

// Each datagram is a two-byte header and its bytes: the low 11 bits give the length (cut to
// what is left), the top bit asks for the CRC to be made right, so that the fuzzer also
// reaches the rows of frames it could not seal itself.
QList<QByteArray> splitDatagrams(const uint8_t *data, size_t size)
{
    QList<QByteArray> out;
    size_t pos = 0;
    while (pos + 2 <= size && out.size() < MaxDatagrams) {
        const int header = (data[pos] << 8) | data[pos + 1];
        pos += 2;
        const int length = qMin<int>(qMin(header & 0x07FF, MaxDatagramSize), int(size - pos));
        QByteArray datagram(reinterpret_cast<const char *>(data + pos), length);
        pos += size_t(length);
        if (header & 0x8000)
            ReferenceFrame::seal(&datagram);
        out.append(datagram);
    }
    return out;
}

// The rows a search must show for these replies, in arrival order.
QList<QStringList> expectedRows(const QList<QByteArray> &datagrams)
{
    QList<QStringList> rows;
    QSet<QString> seen;
    for (const QByteArray &d : datagrams) {
        const auto *frame = reinterpret_cast<const uchar *>(d.constData());
        if (d.size() != ReferenceFrame::ReplySize || !ReferenceFrame::frameValid(frame, d.size()))
            continue;
        const QStringList row = ReferenceFrame::row(frame);
        if (seen.contains(row.at(0)))
            continue;
        seen.insert(row.at(0));
        rows.append(row);
    }
    return rows;
}

QList<QStringList> shownRows(const QAbstractItemModel *model)
{
    QList<QStringList> rows;
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList row;
        for (int c = 0; c < model->columnCount(); ++c)
            row << model->index(r, c).data(Qt::DisplayRole).toString();
        rows.append(row);
    }
    return rows;
}

// One main window, searching on a free port, and the boxes that answer it from loopback.
struct SearchRig
{
    FuzzDialogs dialogs;
    QUdpSocket box;
    MainWindow window;
    QPushButton *searchButton = nullptr;
    QLabel *state = nullptr;
    QAbstractItemModel *model = nullptr;

    SearchRig()
    {
        if (!box.bind(QHostAddress(QHostAddress::LocalHost), 0))
            fail("cannot bind the box socket");
        searchButton = window.findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"));
        state = window.findChild<QLabel *>(QStringLiteral("label_Search_State"));
        auto *table = window.findChild<QTableView *>(QStringLiteral("tableView"));
        if (!searchButton || !state || !table)
            fail("main window widgets not found");
        model = table->model();
        usePort(freeUdpPort());
    }

    void usePort(quint16 port)
    {
        Endpoints e;
        e.discoveryBindPort = port;
        e.discoveryAddress = QStringLiteral("127.0.0.1"); // never the real broadcast
        e.discoveryTargetPort = box.localPort();
        window.setEndpoints(e);
    }
};

SearchRig *rig = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_search";
    static char *argv[] = {name, nullptr};
    auto *app = new QApplication(argc, argv);
    app->setQuitOnLastWindowClosed(false);
    LocalWait::setTimeScaleForTests(TimeScale);
    rig = new SearchRig;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QByteArray> datagrams = splitDatagrams(data, size);
    rig->dialogs.clear();

    rig->searchButton->click();
    if (!rig->dialogs.texts.isEmpty()) {
        // Someone else took the port between the probe and the bind: move and skip this input.
        rig->usePort(freeUdpPort());
        return 0;
    }

    // The request went out during the click, so the replies are queued at the window's socket
    // before its collection starts.
    if (!rig->box.hasPendingDatagrams() && !rig->box.waitForReadyRead(2000))
        fail("no discovery request arrived");
    const QNetworkDatagram request = rig->box.receiveDatagram();
    if (request.data() != Request)
        fail("unexpected request", QString::fromLatin1(request.data().toHex()));
    const quint16 windowPort = rig->window.endpoints().discoveryBindPort;
    if (request.senderPort() != windowPort)
        fail("request from an unexpected port", QString::number(request.senderPort()));
    for (const QByteArray &d : datagrams) {
        if (rig->box.writeDatagram(d, QHostAddress(QHostAddress::LocalHost), windowPort) !=
            d.size())
            fail("could not send a reply of size", QString::number(d.size()));
    }

    QElapsedTimer timer;
    timer.start();
    while (rig->state->text() != QLatin1String("Search Completed")) {
        if (timer.elapsed() > SearchLimitMs)
            fail("the search did not end; state:", rig->state->text());
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }

    const QList<QStringList> expected = expectedRows(datagrams);
    const QList<QStringList> shown = shownRows(rig->model);
    if (shown != expected) {
        std::fprintf(stderr, "expected %d rows, shown %d\n", int(expected.size()),
                     int(shown.size()));
        for (const QStringList &row : shown)
            std::fprintf(stderr, "  shown    %s\n", qPrintable(row.join(QLatin1Char('|'))));
        for (const QStringList &row : expected)
            std::fprintf(stderr, "  expected %s\n", qPrintable(row.join(QLatin1Char('|'))));
        fail("the table differs from the valid replies");
    }
    return 0;
}
