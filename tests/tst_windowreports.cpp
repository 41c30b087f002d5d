// The box's reports driving the camera update, system update and recovery windows through a
// real broker: texts, progress, the busy animation, the restart countdown, the close guards,
// the silent-box limit, and windows closed while one of their handlers waits.

#include "localwait.h"
#include "mosquittobroker.h"
#include "mqttclient.h"
#include "windowsupport.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTextDocument>
#include <QtTest>

namespace {

using Payloads = QList<QByteArray>;
constexpr WindowKind Camera = WindowKind::Camera;
constexpr WindowKind System = WindowKind::System;
constexpr WindowKind Recovery = WindowKind::Recovery;
// How a row of the reports table leaves the window.
enum Outcome { Ends = 1, Closes = 2, Asks = 4, Anim = 8, Yes = 16, Gone = 32 };

// A report from "type|errorcode|message|progress"; JSON text is taken as it is.
QByteArray r(const QString &line)
{
    if (line.startsWith('{') || line.startsWith('[') || line.startsWith('"'))
        return line.toUtf8();
    const QStringList f = line.split('|');
    return reportPayload(f.value(0), f.value(1), f.value(2), f.value(3));
}

QString parserText(const QString &payload)
{
    QJsonParseError error;
    QJsonDocument::fromJson(payload.toUtf8(), &error);
    return error.errorString();
}

// The report that completes a run and starts the restart countdown.
QByteArray completion(WindowKind kind, const QString &message = QStringLiteral("Done"))
{
    return r(QStringLiteral("%1|0|%2|100").arg(kind == Recovery ? 3 : 4).arg(message));
}

enum Wait {
    StartWait,
    PreparationWait,
    ConnectWait,
    RequestWait,
    ChunkWait,
    Animation,
    Countdown,
    RestartQuestion, // the waits from here on are dialogs
    FileDialog,
    StartQuestion
};
// How the run ends: the window goes (closed in a dialog, deleted otherwise), a failure report
// comes, Start is refused, the box falls silent, or its last report completes the run.
const QString NoReport = QStringLiteral("Failed: No report from the device");
enum End { Deleted, Failed, NoFile, AnsweredNo, NoBroker, Silent, Completes };
} // namespace

class WindowReportsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(m_broker.start(), "mosquitto must be installed"); }
    void reports_data()
    {
        QTest::addColumn<WindowKind>("kind");
        QTest::addColumn<QString>("topic"); // empty: the window's own; "*": every other one
        QTest::addColumn<Payloads>("payloads");
        QTest::addColumn<QString>("label");
        QTest::addColumn<int>("bar"); // -1: still animating
        QTest::addColumn<int>("outcome");

        const QString rec = QStringLiteral("TalixTools_out/recovery_file_system");
        const QString cf = QStringLiteral("Update camera fw failed: ");
        const QString sf = QStringLiteral("Update file system failed: ");
        const QString &ok = WindowTexts::Succeed;
        const QString cut = QStringLiteral("{\"type\":\"1\",\"errorcode\":");
        const QString mark = QStringLiteral("<h1>Big</h1><br>second line");
        // Markup too, and one character more than a label shows.
        const QString longText = mark + QString(1024 - mark.size(), 'a') + 'b';
        const QString shown = longText.left(1024);
        const int EC = Ends | Closes, EA = Ends | Anim, Restarts = Ends | Asks | Yes;
        const auto row = [](const char *name, WindowKind kind, const QStringList &lines,
                            const QString &label, int bar, int outcome, const QString &topic = {}) {
            Payloads payloads;
            for (const QString &line : lines)
                payloads << r(line);
            QTest::newRow(name) << kind << topic << payloads << label << bar << outcome;
        };

        row("camera: 100 closes the stream", Camera, {"1|0|Got|100"}, "Got", 100, Closes);
        row("camera: errorcode missing", Camera, {R"({"type":"2","message":"No"})"}, cf + "No", 0,
            EC);
        row("camera: errorcode 00 is not 0", Camera, {"1|00|Odd|9"}, cf + "Odd", 0, EC);
        row("camera: complete, no restart", Camera, {"2|0|Done|100"}, "Done", 100, Ends | Asks);
        row("camera: complete, restart", Camera, {"2|0|Done|100"}, "System Restart", 100, Restarts);
        row("camera: complete, broker gone", Camera, {"2|0|Done|100"},
            "System Restart Failed: Connect Server Failed", 100, Restarts | Gone);
        row("camera: other topics ignored", Camera, {"1|1|x|0"}, ok, 0, 0, "*");
        row("camera: progress not a number", Camera, {"1|0|a|40", "1|0|b|x"}, "b", 0, 0);
        row("camera: progress out of range", Camera, {"1|0|a|40", "1|0|b|150"}, "b", 40, 0);
        row("camera: 100.0 is not 100", Camera, {"1|0|a|100.0"}, "a", 0, 0);
        row("camera: markup and length", Camera, {"1|0|" + longText + "|10"}, shown, 10, 0);

        row("system: 100 closes the stream", System, {"1|0|Got|100"}, "Got", 100, Closes);
        row("system: stage 3 after 2", System, {"2|0|Unpacking", "3|0|Writing"}, "Writing", -1,
            Anim);
        row("system: stage 4 failure only shows its message", System, {"4|9|Bad"}, "Bad", -1, Anim);
        row("system: recovery topic stage", System, {"2|0|Busy"}, sf + "Busy", 0, 0, rec);
        row("system: recovery topic failure", System, {"1|4|Bad"}, sf + "Bad", 0, Ends, rec);
        row("system: recovery topic completion", System, {"3|0|Done|100"}, sf + "Done", 0, Ends,
            rec);
        row("system: other topics ignored", System, {"1|1|x|0"}, ok, 0, 0, "*");
        row("system: unreadable on any topic", System, {cut}, parserText(cut), 0, Ends, "*");
        row("system: markup after the prefix", System, {"1|1|" + mark}, sf + mark, 0, EC);

        row("recovery: 100.0 is not 100", Recovery, {"3|0|Nearly|100.0"}, "Nearly", -1, Anim);
        row("recovery: type 3 failure at 100", Recovery, {"3|2|Bad|100"}, "Bad", 60, EA);
        row("recovery: errorcode 00", Recovery, {"2|00|Odd"}, "Odd", 60, EA);
        row("recovery: errorcode missing", Recovery, {R"({"type":"2","message":"No"})"}, "No", 60,
            EA);
        row("recovery: other topics not even parsed", Recovery, {"1|5|x", cut},
            WindowTexts::Preparing, 0, 0, "*");
        row("recovery: a JSON scalar is unreadable", Recovery, {"\"x\""}, parserText("\"x\""), 0,
            Ends);
        row("recovery: unreadable ends the animation", Recovery, {"1|0|A", cut}, parserText(cut),
            60, EA);
        row("recovery: report after the end animates", Recovery, {"1|5|Bad", "2|0|L"}, "L", -1, EA);
        row("recovery: markup and length", Recovery, {"1|0|" + longText}, shown, -1, Anim);
    }

    void reports()
    {
        QFETCH(WindowKind, kind);
        QFETCH(QString, topic);
        QFETCH(Payloads, payloads);
        QFETCH(QString, label);
        QFETCH(int, bar);
        QFETCH(int, outcome);

        WindowDriver w(kind, m_broker.port());
        QVERIFY(w.startRun());
        // The window's client hears the other topics too. The broker takes one client's packets
        // in order: a message the client sends after its subscription comes back only once the
        // subscription holds. A JSON array changes nothing.
        w.handled = 0;
        // Every report topic this window does not take reports on (the system update window takes
        // the recovery window's too), and one that no window uses.
        const char *names[] = {"update_camera_fw", "update_file_system", "recovery_file_system"};
        QStringList others{QStringLiteral("TalixTools_out/other")};
        for (int other = 0; other < 3; ++other) {
            if (other != int(kind) && !(kind == System && other == 2))
                others << QStringLiteral("TalixTools_out/") + names[other];
        }
        for (const QString &to : others) {
            w.client()->subscribe(to, 0);
            w.client()->publish(to, "[]");
        }
        QVERIFY(QTest::qWaitFor([&] { return w.handled == others.size(); }, 10000));
        if (kind == Recovery)
            QCOMPARE(w.box.inbox(w.requestTopic()), Payloads{"RecoveryDefaultSystem"});
        if (outcome & Yes)
            w.dialogs.answers = {QMessageBox::Yes};
        if (outcome & Gone)
            w.dialogs.whileOpen = [&w](const ScriptedDialogs::Call &) {
                w.client()->disconnectFromHost();
            };

        // Looked at once the last report is handled. An animation would keep the test inside its
        // loop for good: hiding the window after a few steps ends it.
        const QStringList topics = topic == "*" ? others : QStringList{topic};
        QString seenLabel;
        bool seenEnabled = false;
        int steps = 0;
        w.handled = 0;
        w.onHandled = [&](int handled) {
            if (handled != payloads.size() * topics.size())
                return;
            seenLabel = w.state()->text();
            seenEnabled = w.startButton()->isEnabled();
            connect(w.bar(), &QProgressBar::valueChanged, w.window, [&] {
                if (++steps == 3)
                    w.window->hide();
            });
        };
        for (const QString &to : topics) {
            for (const QByteArray &payload : payloads)
                w.report(payload, to);
        }
        QVERIFY(QTest::qWaitFor([&] { return w.handled == payloads.size() * topics.size(); },
                                10000));

        QCOMPARE(seenLabel, label);
        QVERIFY(shownLiterally(w.state()));
        QCOMPARE(seenEnabled, bool(outcome & Ends));
        if (bar < 0)
            QTRY_VERIFY(steps >= 3);
        else
            QTRY_COMPARE(w.bar()->value(), bar);
        QCOMPARE(w.bar()->isTextVisible(), kind != Recovery && !(outcome & Anim));
        QCOMPARE(w.dialogs.count(QStringLiteral("question")), outcome & Asks ? 1 : 0);
        QVERIFY(w.box.sync());
        const bool restart = (outcome & Yes) && !(outcome & Gone);
        QCOMPARE(w.box.inbox("TalixTools_in/restart"), restart ? Payloads{"Restart"} : Payloads{});
        if (kind != Recovery)
            QCOMPARE(w.receiver.last()->closed, bool(outcome & Closes));
        QCOMPARE(w.close(), outcome & Ends ? QStringList() : QStringList{w.busyText()});
    }

    void deviceTextsShownLiterally()
    {
        for (WindowKind kind : {Camera, System, Recovery}) {
            WindowDriver w(kind, m_broker.port(), QStringLiteral("<u>10.0.0.1</u>"));
            for (const QString name : {"ip_value", "mac_value", "sn_value"}) {
                const QLabel *label =
                        w.window->findChild<QLabel *>(w.pick("label_", "label_recovery_") + name);
                QVERIFY2(Qt::mightBeRichText(label->text()) && shownLiterally(label),
                         qPrintable(name));
            }
        }
    }

    void animation_data()
    {
        QTest::addColumn<WindowKind>("kind");
        QTest::addColumn<QString>("topic");
        // A completion ends it at 100, with the bar's text: the countdown table shows that.
        QTest::newRow("system: recovery topic failure")
                << System << QStringLiteral("TalixTools_out/recovery_file_system");
        QTest::newRow("recovery: failure") << Recovery << QString();
    }

    void animation()
    {
        QFETCH(WindowKind, kind);
        QFETCH(QString, topic);

        WindowDriver w(kind, m_broker.port());
        QVERIFY(w.startRun());
        LocalWait::setTimeScaleForTests(0.2); // a step every 20 ms
        QList<int> values;
        QList<qint64> at;
        QElapsedTimer clock;
        clock.start();
        connect(w.bar(), &QProgressBar::valueChanged, w.window, [&](int value) {
            values << value;
            at << clock.elapsed();
            if (values.size() == 10) // must not start a second animation
                w.report(r("2|0|Still"));
            else if (values.size() == 23)
                w.report(r("2|1|Bad"), topic);
        });
        w.report(r("2|0|Working"));
        QTRY_VERIFY_WITH_TIMEOUT(values.size() > 23 && w.bar()->value() == 60 &&
                                         w.startButton()->isEnabled(),
                                 20000);

        // 5, 10, ... 100, 0, 5, ... from the 0 of the confirmation, each step at least 100 ms after
        // the one before; then 60, without the bar's text.
        QCOMPARE(values.first(), 5);
        for (int i = 1; i < values.size(); ++i) {
            if (i < values.size() - 1)
                QCOMPARE(values[i], values[i - 1] + 5 > 100 ? 0 : values[i - 1] + 5);
            QVERIFY2(at[i] - at[i - 1] >= 19, qPrintable(QString::number(at[i] - at[i - 1])));
        }
        QCOMPARE(values.last(), 60);
        QVERIFY(!w.bar()->isTextVisible());
    }

    void countdown_data()
    {
        QTest::addColumn<WindowKind>("kind");
        QTest::addColumn<bool>("animating");    // the completion comes while the animation runs
        QTest::addColumn<QByteArray>("during"); // sent at "Countdown: 50"
        QTest::addColumn<QString>("label");
        QTest::addColumn<bool>("barText"); // once the countdown is over
        // A failure report ends the run and the operator starts a new one at "Countdown: 45": the
        // end of the old countdown leaves that run alone.
        QTest::addColumn<bool>("newRun");
        for (WindowKind kind : {System, Recovery}) {
            const QByteArray name = kind == System ? "system: " : "recovery: ";
            QTest::newRow(name + "completion as the first report")
                    << kind << false << QByteArray() << "Done" << true << false;
            QTest::newRow(name + "completion again during the countdown")
                    << kind << true << completion(kind, "Again") << "Again" << true << false;
            // A stage without a percentage hides the update window's percentage.
            QTest::newRow(name + "stage report during the countdown")
                    << kind << false << r("2|0|Late") << "Late" << (kind == Recovery) << false;
            QTest::newRow(name + "failure, then a new run")
                    << kind << false << r("1|3|Failed|0") << QString() << false << true;
        }
    }

    void countdown()
    {
        QFETCH(WindowKind, kind);
        QFETCH(bool, animating);
        QFETCH(QByteArray, during);
        QFETCH(QString, label);
        QFETCH(bool, barText);
        QFETCH(bool, newRun);
        const QString restarting =
                QStringLiteral("The system is restarting, it takes about 1 "
                               "minute. Please do not close the %1 form.")
                        .arg(kind == Recovery ? "recovery system" : "system fw update");

        WindowDriver w(kind, m_broker.port());
        QVERIFY(w.startRun());
        LabelLog tip(w.tip());
        QStringList refused;
        bool textAt30 = false;
        int barAt30 = -1;
        tip.onText = [&](const QString &text) {
            if (text.endsWith(QLatin1String(": 50")) && !during.isEmpty())
                w.report(during);
            if (newRun && text.endsWith(QLatin1String(": 45")) && w.startButton()->isEnabled())
                w.clickStart();
            if (text.endsWith(QLatin1String(": 30"))) {
                refused = w.close();
                textAt30 = w.bar()->isTextVisible();
                barAt30 = w.bar()->value();
            }
        };
        // After its first second nothing animates under the countdown, which would hold it.
        bool moved = false;
        int steps = 0;
        connect(w.bar(), &QProgressBar::valueChanged, w.window, [&] {
            if (animating && ++steps == 4)
                w.report(completion(kind));
            const QString text = w.tip()->text();
            if (!newRun && text.contains(QLatin1String("Countdown")) &&
                !text.endsWith(QLatin1String(": 60"))) {
                moved = true;
                w.window->hide();
            }
        });
        w.handled = 0;
        w.report(animating ? r("2|0|Working") : completion(kind));
        if (newRun) {
            // The failure's handler returns first, the completion's once its countdown is over.
            QVERIFY(QTest::qWaitFor([&] { return w.handled == 2; }, 30000));
            QCOMPARE(w.requests(), 2);
            QCOMPARE(refused, (QStringList{w.busyText(), restarting}));
            QVERIFY(!w.startButton()->isEnabled());
            QVERIFY(w.tip()->text() != WindowTexts::RestartDone);
            QCOMPARE(w.close(), QStringList{w.busyText()});
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(w.tip()->text(), WindowTexts::RestartDone, 20000);
        tip.poll();

        QStringList texts; // the 61 texts of the countdown, then the one that ends it
        for (int n = 60; n >= 0; --n)
            texts << QStringLiteral("The system is restarting, please do not close the form. It "
                                    "takes about 1 minute. Countdown: %1")
                             .arg(n);
        QCOMPARE(tip.texts.mid(1), texts << WindowTexts::RestartDone);
        QCOMPARE(refused, QStringList{restarting});
        QVERIFY(!moved);
        // An animation started by the completing report itself ends at once: 100, with its text.
        QCOMPARE(textAt30, !animating && barText);
        if (!animating)
            QCOMPARE(barAt30, 100);
        QTRY_COMPARE(w.bar()->value(), 100);
        QCOMPARE(w.bar()->isTextVisible(), barText);
        QCOMPARE(w.state()->text(), label);
        QVERIFY(w.startButton()->isEnabled());
        QCOMPARE(w.close(), QStringList());
    }

    void runEnds_data()
    {
        QTest::addColumn<WindowKind>("kind");
        QTest::addColumn<int>("wait");
        QTest::addColumn<int>("end");
        QTest::addColumn<QString>("text"); // ends the state text, or is the refusing dialog's
        const auto row = [](const char *name, WindowKind kind, int wait, int end = Deleted,
                            const QString &text = {}) {
            QTest::newRow(name) << kind << wait << end << text;
        };
        // One row for each guard after a wait.
        row("system: file dialog", System, FileDialog);
        row("camera: start question", Camera, StartQuestion);
        row("recovery: start question", Recovery, StartQuestion);
        row("system: wait after Yes", System, StartWait);
        row("recovery: wait after Yes", Recovery, StartWait);
        row("camera: second wait after Yes", Camera, PreparationWait);
        row("recovery: second wait after Yes", Recovery, PreparationWait);
        row("camera: connection wait", Camera, ConnectWait);
        row("recovery: connection wait", Recovery, ConnectWait);
        row("system: wait before the stream", System, RequestWait);
        row("camera: wait in the stream", Camera, ChunkWait);
        row("system: animation", System, Animation);
        row("system: countdown", System, Countdown);
        row("recovery: countdown", Recovery, Countdown);
        row("camera: restart question", Camera, RestartQuestion);
        // Nothing more of a run that a failure report ended reaches the box.
        row("camera: failure before the stream", Camera, RequestWait, Failed, "Refused");
        row("system: failure while connecting", System, ConnectWait, Failed, "Refused");
        row("recovery: failure while connecting", Recovery, ConnectWait, Failed, "Refused");
        // Seen only if the window subscribed before it published.
        row("recovery: failure answering the request", Recovery, RequestWait, Failed, "Refused");
        row("camera: no file", Camera, FileDialog, NoFile, "Please select a bin file");
        row("system: no file", System, FileDialog, NoFile, "Please select a System file");
        row("camera: answered No", Camera, StartQuestion, AnsweredNo, "Do you want to update?");
        row("recovery: answered No", Recovery, StartQuestion, AnsweredNo,
            "Do you want to recovery default system?");
        row("system: no broker", System, ConnectWait, NoBroker, "Mqtt Connect Failed");
        row("recovery: no broker", Recovery, ConnectWait, NoBroker, "Mqtt Connect Failed");
        row("system: silent box", System, StartWait, Silent, NoReport);
        row("recovery: silent box", Recovery, StartWait, Silent, NoReport);
        row("system: completion ends the silent-box limit", System, StartWait, Completes, "Done");
        row("recovery: completion ends the silent-box limit", Recovery, StartWait, Completes,
            "Done");
    }

    // A run ends while one of its handlers waits: nothing more touches a window that went, and
    // nothing more of the run reaches the box.
    void runEnds()
    {
        QFETCH(WindowKind, kind);
        QFETCH(int, wait);
        QFETCH(int, end);
        QFETCH(QString, text);

        WindowDriver w(kind, end == NoBroker ? freeTcpPort() : m_broker.port());
        QPointer<QWidget> &window = w.window;
        const QByteArray refusal = r("1|5|Refused|0");
        if (end == Failed && wait == ConnectWait) { // the report comes while a second run connects
            QVERIFY(w.startRun());
            w.report(refusal);
            QTRY_VERIFY(w.startButton()->isEnabled());
        }
        int sent = 0;
        size_t streams = 0;
        int steps = 0;
        const std::function<bool()> when[] = {
                [&] { return !w.startButton()->isEnabled() && w.state()->text().isEmpty(); },
                [&] { return w.state()->text() == WindowTexts::Preparing; },
                [&] {
                    return w.state()->text() == WindowTexts::Preparing &&
                           w.client()->state() == MqttClient::Connected;
                },
                [&] { return w.requests() > 0; },
                [&] { return w.receiver.last() && !w.receiver.last()->data.isEmpty(); },
                [&] { return steps >= 2; },
                [&] { return w.tip()->text().endsWith(QLatin1String(": 58")); },
        };
        const auto ending = [&] {
            sent = w.box.messages.size();
            streams = w.receiver.streams.size();
        };
        // The silent-box limit (40 minutes, 30 in the recovery window) becomes 600 ms. Three
        // reports 250 ms apart each start it again, so the run outlives the first limit; then the
        // box falls silent, or its last report completes the run, which ends the limit.
        QTimer ticker;
        QElapsedTimer clock;
        qint64 lastReport = -1;
        qint64 failedAt = -1;
        int reports = 0;
        LabelLog state(w.state());
        state.onText = [&](const QString &text) {
            if (failedAt < 0 &&
                text == QLatin1String(kind == Recovery ? "Recovery " : "Update ") + NoReport)
                failedAt = clock.elapsed();
        };
        connect(&ticker, &QTimer::timeout, w.window, [&] {
            lastReport = clock.elapsed();
            if (++reports == 3)
                ticker.stop();
            w.report(end == Completes && reports == 3
                             ? completion(kind)
                             : r(kind == Recovery ? "1|0|Working" : "1|0|Working|9"));
        });
        const bool polled = end <= Failed && wait < RestartQuestion;
        Poll poll([&] { return window && polled && when[wait](); },
                  [&] {
                      ending();
                      if (end == Failed)
                          w.report(refusal);
                      else
                          delete window.data();
                  });
        const auto closeInDialog = [&] {
            w.dialogs.whileOpen = [&](const ScriptedDialogs::Call &call) {
                if (call.kind != QLatin1String(wait == FileDialog ? "file" : "question"))
                    return;
                ending();
                QVERIFY(window->close());
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            };
        };
        if (wait >= Animation && wait <= RestartQuestion) {
            QVERIFY(w.startRun());
            closeInDialog();
            w.dialogs.answers = {QMessageBox::Yes};
            connect(w.bar(), &QProgressBar::valueChanged, w.window, [&] { ++steps; });
            w.report(wait == Animation   ? r("2|0|Working")
                     : wait == Countdown ? completion(kind)
                                         : r("2|0|Done|100"));
        } else if (end == NoFile || end == AnsweredNo) {
            if (end == AnsweredNo && kind != Recovery)
                w.choose(w.image);
            w.dialogs.calls.clear();
            w.dialogs.answers = {QMessageBox::No};
            w.startButton()->click();
            QCOMPARE(w.dialogs.texts(), QStringList{text});
            text.clear();
        } else if (end >= Silent) {
            QVERIFY(w.startRun());
            ending();
            LocalWait::setTimeScaleForTests(600.0 / 60000 / (kind == Recovery ? 30 : 40));
            if (kind == Recovery) // its reports animate the bar, which would spin at this scale
                w.window->hide();
            clock.start();
            ticker.start(250);
        } else { // the two waits after Yes at their full 10 ms, so that the poll finds each
            if (end == Deleted && wait >= FileDialog)
                closeInDialog();
            w.begin(wait == StartWait || wait == PreparationWait ? 1.0 : 0.1);
        }
        QTRY_VERIFY_WITH_TIMEOUT(
                !window || (w.startButton()->isEnabled() && w.state()->text().endsWith(text)),
                20000);
        // What the window has queued for the ended run (its request, then its stream) runs out.
        for (int step = 0; step < 3; ++step)
            QCoreApplication::processEvents();
        QVERIFY(end == NoBroker || w.box.sync());
        QCOMPARE(w.box.messages.size(), sent);
        QCOMPARE(w.receiver.streams.size(), streams);
        if (end == Silent) {
            QVERIFY2(failedAt - lastReport >= 570,
                     qPrintable(QString::number(failedAt - lastReport)));
            QTRY_VERIFY(kind == Recovery || w.receiver.last()->closed);
        }
        if (end == Completes)
            QVERIFY(!QTest::qWaitFor([&] { return failedAt >= 0; }, 1500));
        if (window)
            QCOMPARE(w.close(), QStringList());
    }

private:
    MosquittoBroker m_broker;
};

QTEST_MAIN(WindowReportsTest)
#include "tst_windowreports.moc"
