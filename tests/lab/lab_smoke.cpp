// What only the real network shows, in the virtual lab: scripts/lab.sh --two-nets runs this inside
// the workstation namespace, odd boxes on a first network, even boxes on a second, and the
// workstation also on the first network through a second interface. The tool as main() makes
// it, with its fixed ports, finds the boxes of both networks through the real broadcast, from the
// window and from the command line, each box hearing each search exactly once; an image streamed
// through the device menu passes the box's own size and MD5 check, announced with the
// workstation's address on that box's network.

#include "mainwindow.h"
#include "scripteddialogs.h"
#include "searchwindow.h"
#include "windowsupport.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

namespace {

// One simulated box of the lab, as scripts/lab.sh describes it in TALIX_LAB_* variables, and
// what its simulator logged ("EVENT key=value ..." lines).
struct LabBox
{
    QStringList row;       // the seven texts of its row in the device table
    QString workstationIp; // the workstation's address on the box's network
    QString logPath;

    QStringList events(const QString &event) const
    {
        QFile log(logPath);
        QStringList lines;
        for (const QByteArray &line :
             log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QList<QByteArray>()) {
            if (line.startsWith(event.toUtf8() + ' '))
                lines.append(QString::fromUtf8(line));
        }
        return lines;
    }
};

QString labField(const QString &line, const QString &key)
{
    return QRegularExpression(QStringLiteral(" %1=(\\S*)").arg(key)).match(line).captured(1);
}

// Whether this process runs in the lab's workstation namespace, the only place where the tool
// may use its real ports and the real broadcast.
bool insideLabNamespace()
{
    const QByteArray name = qgetenv("TALIX_LAB_NS");
    struct stat mine = {};
    struct stat lab = {};
    return !name.isEmpty() && !name.contains('/') && ::stat("/proc/self/ns/net", &mine) == 0 &&
           ::stat(("/run/netns/" + name).constData(), &lab) == 0 && mine.st_dev == lab.st_dev &&
           mine.st_ino == lab.st_ino;
}

} // namespace

class LabSmokeTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("TALIX_LAB_NS"))
            QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
        QVERIFY2(insideLabNamespace(), "not inside the lab's workstation namespace");
        QCOMPARE(qEnvironmentVariableIntValue("TALIX_LAB_BOXES"), 4);
        QSet<QString> networks;
        for (int i = 1; i <= 4; ++i) {
            const auto variable = [i](const char *name) {
                return qEnvironmentVariable(
                        qPrintable(QStringLiteral("TALIX_LAB_BOX_%1_%2").arg(i).arg(name)));
            };
            LabBox box{{}, variable("WS_IP"), variable("LOG")};
            for (const char *name :
                 {"IP", "MAC", "SN", "NAME", "CAMERA_TYPE", "OS_VERSION", "CAMERA_FW"})
                box.row.append(variable(name));
            m_boxes.append(box);
            networks.insert(box.workstationIp);
            m_expected.append(box.row);
        }
        QCOMPARE(networks.size(), 2);
        std::sort(m_expected.begin(), m_expected.end());
        m_window.show();
    }

    void searchThroughTheRealBroadcast()
    {
        QVERIFY(SearchWindow::search(&m_window));
        QList<QStringList> rows = SearchWindow::rows(&m_window);
        std::sort(rows.begin(), rows.end());
        QCOMPARE(rows, m_expected);
        verifyRequests();
        QVERIFY(m_dialogs.calls.isEmpty());
    }

    void commandLine()
    {
        QProcess tool;
        tool.start(QStringLiteral(TALIX_TOOLKITS_PATH), {"--list", "--format", "csv"});
        QVERIFY(tool.waitForFinished(30000));
        QVERIFY(tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0);
        const QStringList lines =
                QString::fromUtf8(tool.readAllStandardOutput()).split("\r\n", Qt::SkipEmptyParts);
        QList<QStringList> rows;
        for (const QString &line : lines.mid(1)) // under the header
            rows.append(line.split(','));
        std::sort(rows.begin(), rows.end());
        QCOMPARE(rows, m_expected);
        verifyRequests();
    }

    // On the second network: client_ip must be the workstation's address there.
    void updateThroughTheDeviceMenu()
    {
        const LabBox &box = m_boxes[1];
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("camera.bin"));
        const QByteArray bytes = imageBytes(2500000); // two full chunks and a short one
        QVERIFY(writeFile(image, bytes));

        auto *table = m_window.findChild<QTableView *>(QStringLiteral("tableView"));
        const auto hits = table->model()->match(table->model()->index(0, 0), Qt::DisplayRole,
                                                box.row[0], 1, Qt::MatchExactly);
        QCOMPARE(hits.size(), 1);
        table->selectRow(hits[0].row());
        QTimer::singleShot(0, this, [] { // the menu is open in its own event loop by then
            QMenu *menu = nullptr;
            if (!QTest::qWaitFor(
                        [&] { return (menu = qobject_cast<QMenu *>(qApp->activePopupWidget())); }))
                return;
            for (QAction *action : menu->actions())
                if (action->text() == QLatin1String("Camera FW Update"))
                    action->trigger();
            menu->close();
        });
        emit table->customContextMenuRequested(QPoint(10, 10));

        QWidget *form = QApplication::activeModalWidget();
        QVERIFY(form && form->objectName() == QLatin1String("Form"));
        m_dialogs.files = QStringList{image};
        m_dialogs.answers = {QMessageBox::Yes, QMessageBox::No}; // update; no restart
        form->findChild<QPushButton *>(QStringLiteral("pushButton_Browser"))->click();
        auto *start = form->findChild<QPushButton *>(QStringLiteral("pushButton_Start"));
        start->click();
        QTRY_VERIFY_WITH_TIMEOUT(!box.events(QStringLiteral("TCP")).isEmpty(), 60000);

        const QString request = box.events(QStringLiteral("UPDATE_REQUEST")).value(0);
        QCOMPARE(labField(request, "client_ip"), box.workstationIp);
        const QString transfer = box.events(QStringLiteral("TCP")).first();
        QCOMPARE(labField(transfer, "result"), QStringLiteral("ok"));
        QCOMPARE(labField(transfer, "bytes"), QString::number(bytes.size()));
        QCOMPARE(labField(transfer, "md5"),
                 QString::fromLatin1(
                         QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()));
        QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 60000);
        QVERIFY(form->close());
    }

private:
    // Each box has heard every search so far exactly once: the request bytes, from the
    // workstation's search port on the box's own network.
    void verifyRequests()
    {
        ++m_searches;
        for (const LabBox &box : qAsConst(m_boxes)) {
            const QStringList requests = box.events(QStringLiteral("DISCOVERY"));
            QCOMPARE(requests.size(), m_searches);
            for (const QString &request : requests) {
                QCOMPARE(labField(request, "from"), box.workstationIp + QStringLiteral(":6999"));
                QCOMPARE(labField(request, "payload_hex"), QStringLiteral("fa0100003c61"));
            }
        }
    }

    QList<LabBox> m_boxes;
    QList<QStringList> m_expected; // the boxes' rows, sorted
    int m_searches = 0;
    ScriptedDialogs m_dialogs;
    MainWindow m_window; // default endpoints: ports 6999, 1883, 8000
};

QTEST_MAIN(LabSmokeTest)
#include "lab_smoke.moc"
