// A workstation on two networks, in the virtual lab (scripts/lab.sh --two-nets runs this inside
// the workstation namespace, odd boxes on the first network, even boxes on the second, and a
// second interface of the workstation on the first network): the window and the command line
// list the boxes of both networks, and every search reaches each box exactly once.

#include "labbox.h"
#include "mainwindow.h"
#include "scripteddialogs.h"

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

class LabTwoNetsTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void windowSearch();
    void commandLine_data();
    void commandLine();

private:
    // Each box has received `searches` requests, each from the workstation's search port on
    // the box's own network.
    void verifyRequests(int searches);

    QList<LabBox> m_boxes;
    QList<QStringList> m_expected; // the boxes' rows, sorted
    int m_searches = 0;
};

void LabTwoNetsTest::initTestCase()
{
    LAB_REQUIRE_NAMESPACE();
    QApplication::setQuitOnLastWindowClosed(false);
    m_boxes = LabBox::fromEnvironment();
    QCOMPARE(m_boxes.size(), 4);
    QSet<QString> networks;
    for (const LabBox &box : qAsConst(m_boxes)) {
        networks.insert(box.workstationIp);
        m_expected.append(box.row);
    }
    QCOMPARE(networks.size(), 2);
    std::sort(m_expected.begin(), m_expected.end());
}

void LabTwoNetsTest::verifyRequests(int searches)
{
    for (const LabBox &box : qAsConst(m_boxes)) {
        const QStringList requests = box.events(QStringLiteral("DISCOVERY"));
        QCOMPARE(requests.size(), searches);
        for (const QString &request : requests)
            QCOMPARE(labField(request, "from"), box.workstationIp + QStringLiteral(":6999"));
    }
}

void LabTwoNetsTest::windowSearch()
{
    ScriptedDialogs dialogs;
    MainWindow window;
    window.show();
    QList<QStringList> rows = labSearch(&window);
    std::sort(rows.begin(), rows.end());
    QCOMPARE(rows, m_expected);
    verifyRequests(++m_searches);
}

void LabTwoNetsTest::commandLine_data()
{
    QTest::addColumn<QString>("format");
    QTest::newRow("csv") << QStringLiteral("csv");
    QTest::newRow("json") << QStringLiteral("json");
}

void LabTwoNetsTest::commandLine()
{
    QFETCH(QString, format);
    QProcess tool;
    tool.start(QStringLiteral(TALIX_TOOLKITS_PATH), {"--list", "--format", format});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    const QByteArray out = tool.readAllStandardOutput();

    QList<QStringList> rows;
    if (format == QLatin1String("csv")) {
        const QStringList lines = QString::fromUtf8(out).split("\r\n", Qt::SkipEmptyParts);
        for (const QString &line : lines.mid(1)) // under the header
            rows.append(line.split(','));
    } else {
        for (const QJsonValue &box : QJsonDocument::fromJson(out).array()) {
            QStringList row;
            for (const char *key : {"IP Address", "MAC Address", "SN", "Device Name", "Camera Type",
                                    "OS Version", "Camera FW Version"})
                row.append(box.toObject().value(key).toString());
            rows.append(row);
        }
    }
    std::sort(rows.begin(), rows.end());
    QCOMPARE(rows, m_expected);
    verifyRequests(++m_searches);
}

QTEST_MAIN(LabTwoNetsTest)
#include "lab_twonets.moc"
