// End to end in the virtual lab (run by scripts/lab.sh inside the workstation namespace): the
// search, on its real port and with the real broadcast, finds the simulated boxes with the
// texts they were given; a box told to send only broken replies adds no row.
//
// Boxes whose TALIX_LAB_BOX_<i>_EXTRA options are empty are well-behaved and must be listed;
// a box with extra options is the misbehaving one and must not be.

#include "boxsimprocess.h"
#include "localwait.h"
#include "mainwindow.h"
#include "scripteddialogs.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMap>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <sys/stat.h>

namespace {

struct LabBox
{
    int index = 0;
    QStringList texts; // the seven row texts, in column order
    QString logPath;
    bool misbehaving = false;
};

QString labVariable(int box, const char *name)
{
    return qEnvironmentVariable(
            qPrintable(QStringLiteral("TALIX_LAB_BOX_%1_%2").arg(box).arg(QLatin1String(name))));
}

QStringList readLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// This process runs in the lab's workstation namespace (the one lab.sh named), so a broadcast
// sent here stays in the lab.
bool insideLabNamespace()
{
    struct stat mine = {};
    struct stat lab = {};
    const QByteArray labPath = "/run/netns/" + qgetenv("TALIX_LAB_NS");
    return ::stat("/proc/self/ns/net", &mine) == 0 && ::stat(labPath.constData(), &lab) == 0 &&
           mine.st_dev == lab.st_dev && mine.st_ino == lab.st_ino;
}

} // namespace

// Drives the real MainWindow with its default endpoints against the lab's boxes.
class LabSearchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void searchFindsTheBoxesWithTheirTexts();

private:
    // Presses "Search Device" and waits for the end of the search; returns the rows by IP.
    QMap<QString, QStringList> search(MainWindow *window);

    QList<LabBox> m_boxes;
};

void LabSearchTest::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("TALIX_LAB_NS"))
        QSKIP("runs only inside the virtual lab: scripts/lab.sh test N <this executable>");
    // Never broadcast in the machine's own network.
    QVERIFY2(insideLabNamespace(), "not inside the lab's workstation namespace");
    QCOMPARE(LocalWait::timeScale(), 1.0);
    QApplication::setQuitOnLastWindowClosed(false);

    const int count = qEnvironmentVariableIntValue("TALIX_LAB_BOXES");
    QVERIFY(count > 0);
    for (int i = 1; i <= count; ++i) {
        LabBox box;
        box.index = i;
        for (const char *name :
             {"IP", "MAC", "SN", "NAME", "CAMERA_TYPE", "OS_VERSION", "CAMERA_FW"})
            box.texts.append(labVariable(i, name));
        box.logPath = labVariable(i, "LOG");
        box.misbehaving = !labVariable(i, "EXTRA").isEmpty();
        QVERIFY2(!box.texts.first().isEmpty(), qPrintable(QStringLiteral("box %1").arg(i)));
        m_boxes.append(box);
    }
}

QMap<QString, QStringList> LabSearchTest::search(MainWindow *window)
{
    auto *button = window->findChild<QPushButton *>(QStringLiteral("pushButton_Search_Device"));
    auto *label = window->findChild<QLabel *>(QStringLiteral("label_Search_State"));
    auto *table = window->findChild<QTableView *>(QStringLiteral("tableView"));
    if (!button || !label || !table)
        return {};
    button->click();
    // 500 ms pause and 2000 ms of collection, unscaled.
    if (!QTest::qWaitFor([&] { return label->text() == QLatin1String("Search Completed"); }, 15000))
        return {};
    QMap<QString, QStringList> rows;
    const QAbstractItemModel *model = table->model();
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList texts;
        for (int c = 0; c < model->columnCount(); ++c)
            texts.append(model->index(r, c).data().toString());
        rows.insert(texts.first(), texts);
    }
    if (rows.size() != model->rowCount())
        rows.insert(QStringLiteral("duplicate rows"), {});
    return rows;
}

void LabSearchTest::searchFindsTheBoxesWithTheirTexts()
{
    ScriptedDialogs dialogs;
    MainWindow window;
    window.show();

    QMap<QString, QStringList> expected;
    for (const LabBox &box : qAsConst(m_boxes)) {
        if (!box.misbehaving)
            expected.insert(box.texts.first(), box.texts);
    }
    QVERIFY2(!expected.isEmpty(), "the lab has no well-behaved box");

    // Twice: the second search empties the table first and lists every box again.
    for (int round = 1; round <= 2; ++round) {
        const QMap<QString, QStringList> rows = search(&window);
        QCOMPARE(rows.keys(), expected.keys());
        for (const QString &ip : expected.keys())
            QCOMPARE(rows.value(ip), expected.value(ip));

        for (const LabBox &box : qAsConst(m_boxes)) {
            // Every box saw each request come from the workstation's real search port...
            const QStringList lines = readLines(box.logPath);
            QStringList requests;
            QStringList replies;
            for (const QString &line : lines) {
                if (BoxSimProcess::eventName(line) == QLatin1String("DISCOVERY"))
                    requests.append(line);
                else if (BoxSimProcess::eventName(line) == QLatin1String("DISCOVERY_REPLY"))
                    replies.append(line);
            }
            QCOMPARE(requests.size(), round);
            QCOMPARE(BoxSimProcess::field(requests.last(), QStringLiteral("from")),
                     QStringLiteral("%1:6999").arg(qEnvironmentVariable("TALIX_LAB_WS_IP")));
            QCOMPARE(BoxSimProcess::field(requests.last(), QStringLiteral("payload_hex")),
                     QStringLiteral("fa0100003c61"));
            // ... and answered it; the misbehaving box's answers were all dropped.
            QVERIFY2(!replies.isEmpty(), qPrintable(box.logPath));
            for (const QString &reply : replies) {
                QCOMPARE(BoxSimProcess::field(reply, QStringLiteral("sent")),
                         BoxSimProcess::field(reply, QStringLiteral("datagrams")));
                QVERIFY(BoxSimProcess::field(reply, QStringLiteral("sent")).toInt() > 0);
            }
        }
    }
    QVERIFY(dialogs.calls.isEmpty());

    // For the documentation: the window as the operator sees it after a search.
    const QString shot = qEnvironmentVariable("TALIX_LAB_SCREENSHOT");
    if (!shot.isEmpty()) {
        QTest::qWait(200); // let the last repaint through before grabbing
        QVERIFY(window.grab().save(shot));
    }
}

QTEST_MAIN(LabSearchTest)
#include "lab_search.moc"
