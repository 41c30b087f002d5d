// The device list taken away: Ctrl+C in the window's table, and the command line's search with
// its csv and json output, against boxes played on loopback.

#include "devicelister.h"
#include "discoverypeer.h"
#include "mainwindow.h"
#include "referenceframe.h"
#include "scripteddialogs.h"
#include "searchwindow.h"

#include <QClipboard>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTableView>
#include <QUdpSocket>
#include <QtTest>

namespace {

const QStringList Titles = {"IP Address", "MAC Address",      "SN", "Device Name", "Camera Type",
                            "OS Version", "Camera FW Version"};
// A box whose texts hold every character that needs care in a table: comma, quote, tab, newline.
const QStringList Odd = {
        "10.0.0.5", "00:1A:2B:3C:4D:5E", "SN,1", "Gate \"east\"", "Cam\tA", "OS\n1", "FW 2"};
const QStringList Plain = {"10.0.0.6", "00:1A:2B:3C:4D:5F", "SN2", "Yard", "CamB", "OS 2", "FW 3"};

QByteArray reply(const QStringList &t)
{
    const QByteArray mac = QByteArray::fromHex(t[1].toLatin1().replace(':', ""));
    return ReferenceFrame::reply(t[0], mac, t[2].toLatin1(), t[3].toLatin1(), t[4].toLatin1(),
                                 t[5].toLatin1(), t[6].toLatin1());
}

const QString CsvHeader = Titles.join(',') + "\r\n";
const QString CsvOdd = "10.0.0.5,00:1A:2B:3C:4D:5E,\"SN,1\",\"Gate \"\"east\"\"\",Cam\tA,\"OS\n1\","
                       "FW 2\r\n";
const QString TsvOdd = "10.0.0.5\t00:1A:2B:3C:4D:5E\tSN,1\tGate \"east\"\tCam A\tOS 1\tFW 2\n";

} // namespace

class DeviceListTest : public QObject
{
    Q_OBJECT
private slots:
    void copy_data()
    {
        QTest::addColumn<int>("selectedRow"); // -1: none
        QTest::addColumn<QString>("expected");
        QTest::newRow("selected row") << 1 << Titles.join('\t') + '\n' + Plain.join('\t') + '\n';
        QTest::newRow("no selection: every row")
                << -1 << Titles.join('\t') + '\n' + TsvOdd + Plain.join('\t') + '\n';
    }

    void copy()
    {
        QFETCH(int, selectedRow);
        QFETCH(QString, expected);
        ScriptedDialogs dialogs;
        MainWindow window;
        window.setEndpoints(m_box.endpoints());
        m_box.replies = {reply(Odd), reply(Plain)};
        QVERIFY(SearchWindow::search(&window));

        auto *table = window.findChild<QTableView *>("tableView");
        if (selectedRow >= 0)
            table->selectRow(selectedRow);
        QApplication::clipboard()->clear();
        QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), expected);
    }

    void list_data()
    {
        QTest::addColumn<QList<QByteArray>>("replies");
        QTest::addColumn<bool>("portTaken");
        QTest::addColumn<bool>("json");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("csv");

        const QList<QByteArray> site = {reply(Odd), reply(Plain)};
        QTest::newRow("csv") << site << false << false << 0
                             << CsvHeader + CsvOdd + Plain.join(',') + "\r\n";
        QTest::newRow("json") << site << false << true << 0 << QString();
        QTest::newRow("no box answers") << QList<QByteArray>() << false << false << 1 << CsvHeader;
        QTest::newRow("search port taken") << site << true << false << 2 << QString();
    }

    void list()
    {
        QFETCH(QList<QByteArray>, replies);
        QFETCH(bool, portTaken);
        QFETCH(bool, json);
        QFETCH(int, exitCode);
        QFETCH(QString, csv);

        QUdpSocket taken; // bound without sharing, as another program may hold the port
        QVERIFY(taken.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
        m_box.replies = replies;
        m_box.requests.clear();

        QString out, err;
        QTextStream outStream(&out), errStream(&err);
        const auto format = json ? DeviceList::Format::Json : DeviceList::Format::Csv;
        QCOMPARE(DeviceLister(m_box.endpoints(portTaken ? taken.localPort() : 0))
                         .run(1000, format, outStream, errStream),
                 exitCode);
        QCOMPARE(m_box.requests.size(), portTaken ? 0 : 1);
        QCOMPARE(err.isEmpty(), !portTaken);
        if (portTaken)
            QVERIFY2(out.isEmpty(), qPrintable(out));
        else if (!json)
            QCOMPARE(out, csv);
        else {
            QJsonArray expected;
            for (const QStringList &texts : {Odd, Plain}) {
                QJsonObject box;
                for (int c = 0; c < Titles.size(); ++c)
                    box.insert(Titles[c], texts[c]);
                expected.append(box);
            }
            QCOMPARE(QJsonDocument::fromJson(out.toUtf8()).array(), expected);
        }
    }

private:
    DiscoveryPeer m_box; // answers every request with its replies
};

QTEST_MAIN(DeviceListTest)
#include "tst_devicelist.moc"
