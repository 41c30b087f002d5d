#include "mainwindow.h"
#include "referenceframe.h"
#include "scripteddialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QLabel>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QTableView>
#include <QUdpSocket>

#include <cstdio>

namespace {

// A valid 105-byte reply for box number `n`, each with its own IP address and MAC.
QByteArray reply(int n)
{
    QByteArray f(103, '\0');
    f[0] = char(0xFA);
    f[1] = char(0x01);
    f[2] = char(100);
    f[3] = char(10);
    f[4] = char((n >> 16) & 0xFF);
    f[5] = char((n >> 8) & 0xFF);
    f[6] = char(n & 0xFF);
    f[7] = char(0x02);
    f[11] = char((n >> 8) & 0xFF);
    f[12] = char(n & 0xFF);
    const QByteArray sn = QByteArray("SN") + QByteArray::number(n);
    f.replace(13, sn.size(), sn);
    f.replace(33, 3, "Box");
    f.replace(53, 6, "IMX477");
    f.replace(73, 3, "1.0");
    f.replace(83, 3, "2.0");
    f.append(2, '\0');
    ReferenceFrame::seal(&f);
    return f;
}

quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

struct Result
{
    int sent = 0;
    int listed = 0;
    double msToList = -1;
    double msToLastRow = -1;
};

// One search against N boxes that all answer in one burst, written before the tool reads any.
Result runSearch(int boxes)
{
    QVector<QByteArray> replies;
    replies.reserve(boxes);
    for (int n = 1; n <= boxes; ++n)
        replies << reply(n);

    QUdpSocket box;
    box.bind(QHostAddress(QHostAddress::LocalHost), 0);
    const quint16 toolPort = freeUdpPort();

    MainWindow window;
    Endpoints e;
    e.discoveryBindPort = toolPort;
    e.discoveryAddress = QStringLiteral("127.0.0.1");
    e.discoveryTargetPort = box.localPort();
    window.setEndpoints(e);
    window.show();

    auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"));
    auto *label = window.findChild<QLabel *>(QStringLiteral("label_Search_State"));
    QAbstractItemModel *model =
            window.findChild<QTableView *>(QStringLiteral("tableView"))->model();

    Result result;
    QElapsedTimer clock;
    QObject::connect(&box, &QUdpSocket::readyRead, [&] {
        while (box.hasPendingDatagrams()) {
            box.receiveDatagram();
            clock.start();
            for (const QByteArray &r : qAsConst(replies))
                result.sent += box.writeDatagram(r, QHostAddress::LocalHost, toolPort) == r.size();
        }
    });
    QObject::connect(model, &QAbstractItemModel::rowsInserted, [&] {
        result.msToLastRow = clock.nsecsElapsed() / 1e6;
        if (result.msToList < 0 && model->rowCount() == boxes)
            result.msToList = result.msToLastRow;
    });

    button->click();
    QElapsedTimer guard;
    guard.start();
    while (label->text() != QLatin1String("Search Completed") && guard.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    result.listed = model->rowCount();
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    ScriptedDialogs dialogs; // a busy port answers in the output, not in a box nobody sees

    QFile rmem(QStringLiteral("/proc/sys/net/core/rmem_max"));
    if (rmem.open(QIODevice::ReadOnly))
        std::printf("net.core.rmem_max = %s\n", rmem.readAll().trimmed().constData());
    std::printf("%8s %8s %8s %16s %16s\n", "N", "sent", "listed", "ms to list all",
                "ms to last row");
    for (const int boxes : {100, 1000, 2000, 5000}) {
        const Result r = runSearch(boxes);
        std::printf("%8d %8d %8d %16s %16.1f\n", boxes, r.sent, r.listed,
                    r.msToList < 0 ? "not all" : QByteArray::number(r.msToList, 'f', 1).constData(),
                    r.msToLastRow);
        std::fflush(stdout);
    }
    for (const ScriptedDialogs::Call &c : qAsConst(dialogs.calls))
        std::printf("dialog: %s\n", qPrintable(c.text));
    return 0;
}
