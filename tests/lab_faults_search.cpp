// A search that meets 5000 replies at once, in the virtual lab (run by scripts/lab.sh inside the
// workstation namespace, so the real port and the real broadcast stay in the lab): box 1
// answers with 5000 valid replies of distinct record addresses, box 2 with its own. The search
// must end as usual, list every reply that reached its socket once and nothing else, and a new
// search must do the same.

#include "lab_faults_lab.h"
#include "mainwindow.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QHostAddress>
#include <QSet>
#include <QTableView>
#include <QTest>

namespace {

constexpr int Burst = 5000;
const QHostAddress BurstBase(QStringLiteral("10.78.0.1"));

// The UDP counters of this network namespace (the lab's workstation): "InDatagrams",
// "RcvbufErrors", ...
QMap<QString, qint64> udpCounters()
{
    QFile f(QStringLiteral("/proc/net/snmp"));
    QMap<QString, qint64> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    QStringList names;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.startsWith("Udp:"))
            continue;
        const QStringList fields =
                QString::fromLatin1(line.mid(4)).simplified().split(QLatin1Char(' '));
        if (names.isEmpty()) {
            names = fields;
        } else {
            for (int i = 0; i < names.size() && i < fields.size(); ++i)
                out.insert(names.at(i), fields.at(i).toLongLong());
        }
    }
    return out;
}

} // namespace

class LabFaultsSearchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fiveThousandRepliesInOneSearch();
};

void LabFaultsSearchTest::initTestCase()
{
    if (!FaultLab::started())
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    // Never the real ports or the broadcast in the machine's own network.
    QVERIFY2(FaultLab::insideWorkstation(), "not inside the lab's workstation namespace");
    QVERIFY(FaultLab::boxCount() >= 2);
    QApplication::setQuitOnLastWindowClosed(false);
}

void LabFaultsSearchTest::fiveThousandRepliesInOneSearch()
{
    const int box = 1;
    QVERIFY(FaultLab::restartSim(box, {QStringLiteral("--discovery"), QStringLiteral("burst"),
                                       QStringLiteral("--burst-count"), QString::number(Burst),
                                       QStringLiteral("--ip"), BurstBase.toString()}));

    ScriptedDialogs dialogs;
    MainWindow window;
    window.show();
    auto *button = window.findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"));
    auto *label = window.findChild<QLabel *>(QStringLiteral("label_Search_State"));
    auto *table = window.findChild<QTableView *>(QStringLiteral("tableView"));
    QVERIFY(button && label && table);
    const QAbstractItemModel *model = table->model();

    // Every record address the two boxes send.
    QSet<QString> expected;
    for (int k = 0; k < Burst; ++k)
        expected.insert(QHostAddress(BurstBase.toIPv4Address() + quint32(k)).toString());
    expected.insert(FaultLab::box(2, "IP"));

    for (int round = 1; round <= 2; ++round) {
        const int mark = FaultLab::logMark(box);
        const QMap<QString, qint64> before = udpCounters();
        StallMeter stall;
        QElapsedTimer clock;
        qint64 lastRowMs = -1;
        const QMetaObject::Connection rows = connect(model, &QAbstractItemModel::rowsInserted, this,
                                                     [&] { lastRowMs = clock.elapsed(); });
        stall.start();
        clock.start();
        button->click();
        QVERIFY(FaultLab::waitUntil(
                [&] { return label->text() == QLatin1String("Search Completed"); }, 30000));
        const qint64 doneMs = clock.elapsed();
        stall.stop();
        disconnect(rows);
        const QMap<QString, qint64> after = udpCounters();

        const QString reply = FaultLab::events(box, mark, QStringLiteral("DISCOVERY_REPLY"),
                                               {QStringLiteral("mode=burst")})
                                      .value(0);
        const int sent = BoxSimProcess::field(reply, QStringLiteral("sent")).toInt();
        const qint64 arrived = after.value(QStringLiteral("InDatagrams")) -
                               before.value(QStringLiteral("InDatagrams"));
        const qint64 overflowed = after.value(QStringLiteral("RcvbufErrors")) -
                                  before.value(QStringLiteral("RcvbufErrors"));

        QSet<QString> listed;
        for (int r = 0; r < model->rowCount(); ++r)
            listed.insert(model->index(r, 0).data().toString());
        qInfo("round %d: box sent %d of %d replies, %lld datagrams reached the workstation, "
              "%lld overflowed a socket buffer; %d rows listed, the last %lld ms after the "
              "click; search completed after %lld ms; longest stall %.1f ms",
              round, sent, Burst, arrived, overflowed, int(model->rowCount()), lastRowMs, doneMs,
              stall.longestMs());

        QCOMPARE(BoxSimProcess::field(reply, QStringLiteral("datagrams")).toInt(), Burst);
        // One row per address, only addresses that were sent.
        QCOMPARE(listed.size(), model->rowCount());
        QVERIFY((listed - expected).isEmpty());
        // Every reply that reached the socket is listed: with nothing lost on the way, all.
        // (The broadcast request may come back to the tool's own socket as one more datagram.)
        if (sent == Burst && overflowed == 0 && arrived >= Burst + 1)
            QCOMPARE(listed, expected);
        else
            QVERIFY2(listed.size() >= arrived - 1,
                     qPrintable(QStringLiteral("%1 listed").arg(listed.size())));
        // The search ended as usual: the next press searches again.
        QVERIFY(button->isEnabled());
    }
    QVERIFY(dialogs.calls.isEmpty());
}

QTEST_MAIN(LabFaultsSearchTest)
#include "lab_faults_search.moc"
