// What only the real network shows, in the virtual lab (scripts/lab.sh runs this inside the
// workstation namespace, three boxes): the tool as main() makes it, with its fixed ports, finds
// the boxes through the real broadcast, and an image streamed through the device menu passes
// the box's own size and MD5 check, announced with the workstation's address on the lab's network.

#include "labbox.h"
#include "mainwindow.h"
#include "scripteddialogs.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class LabSmokeTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void searchThroughTheRealBroadcast();
    void updateThroughTheDeviceMenu();

private:
    QList<LabBox> m_boxes;
    ScriptedDialogs m_dialogs;
    MainWindow m_window; // default endpoints: ports 6999, 1883, 8000
};

void LabSmokeTest::initTestCase()
{
    LAB_REQUIRE_NAMESPACE();
    QApplication::setQuitOnLastWindowClosed(false);
    m_boxes = LabBox::fromEnvironment();
    QCOMPARE(m_boxes.size(), 3);
    for (const LabBox &box : qAsConst(m_boxes)) {
        const QString ready = box.events(QStringLiteral("READY")).value(0);
        QCOMPARE(labField(ready, QStringLiteral("discovery_port")), QStringLiteral("6999"));
        QCOMPARE(labField(ready, QStringLiteral("tcp_port")), QStringLiteral("8000"));
    }
    m_window.show();
}

void LabSmokeTest::searchThroughTheRealBroadcast()
{
    QList<QStringList> expected;
    for (const LabBox &box : qAsConst(m_boxes))
        expected.append(box.row);
    QList<QStringList> rows = labSearch(&m_window);
    std::sort(rows.begin(), rows.end());
    QCOMPARE(rows, expected);
    // One datagram to 255.255.255.255 reached every box, from the search port.
    for (const LabBox &box : qAsConst(m_boxes)) {
        const QStringList requests = box.events(QStringLiteral("DISCOVERY"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(labField(requests[0], "from"), box.workstationIp + QStringLiteral(":6999"));
        QCOMPARE(labField(requests[0], "payload_hex"), QStringLiteral("fa0100003c61"));
    }
    QVERIFY(m_dialogs.calls.isEmpty());
}

void LabSmokeTest::updateThroughTheDeviceMenu()
{
    const LabBox &box = m_boxes[1];
    QTemporaryDir dir;
    QFile image(dir.filePath(QStringLiteral("camera.bin")));
    QByteArray bytes(2500000, Qt::Uninitialized); // two full chunks and a short one
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((quint32(i) * 2654435761u) >> 24);
    QVERIFY(image.open(QIODevice::WriteOnly) && image.write(bytes) == bytes.size());
    image.close();

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
        for (QAction *action : menu->actions()) {
            if (action->text() == QLatin1String("Camera FW Update"))
                action->trigger();
        }
        menu->close();
    });
    emit table->customContextMenuRequested(QPoint(10, 10));

    QWidget *form = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets())
        form = w->objectName() == QLatin1String("Form") ? w : form;
    QVERIFY(form);
    m_dialogs.files = QStringList{image.fileName()};
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
             QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex()));
    QTRY_VERIFY_WITH_TIMEOUT(start->isEnabled(), 60000);
    QVERIFY(form->close());
}

QTEST_MAIN(LabSmokeTest)
#include "lab_smoke.moc"
