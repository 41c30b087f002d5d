#include "windowsupport.h"

#include "form.h"
#include "localwait.h"
#include "mqttclient.h"
#include "recoveryform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpSocket>
#include <QTest>
#include <QTextDocument>

QByteArray imageBytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i)
        data[i] = char((x = x * 1664525u + 1013904223u) >> 24);
    return data;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray reportPayload(const QString &type, const QString &errorcode, const QString &message,
                         const QString &progress)
{
    const auto quoted = [](QString text) {
        return '"' + text.replace('\\', "\\\\").replace('"', "\\\"").toUtf8() + '"';
    };
    return "{\"type\":" + quoted(type) + ",\"errorcode\":" + quoted(errorcode) +
           ",\"message\":" + quoted(message) + ",\"progress\":" + quoted(progress) + '}';
}

bool shownLiterally(const QLabel *label)
{
    return label->textFormat() == Qt::PlainText ||
           (label->textFormat() == Qt::AutoText && !Qt::mightBeRichText(label->text()));
}

bool fileOpenHere(const QString &path)
{
    const QFileInfo info(path);
    const QString target =
            QFileInfo(info.absolutePath()).canonicalFilePath() + '/' + info.fileName();
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System)) {
        if (QFile::symLinkTarget(fds.filePath(fd)).startsWith(target))
            return true;
    }
    return false;
}

Poll::Poll(std::function<bool()> ready, std::function<void()> action)
{
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, [this, ready, action] {
        if (ready()) {
            action();
            m_timer.stop();
        }
    });
    m_timer.start(1);
}

LabelLog::LabelLog(QLabel *label)
    : texts{label->text()}
    , m_label(label)
    , m_poll([this] { return poll(), false; }, {})
{}

void LabelLog::poll()
{
    if (m_label && m_label->text() != texts.last()) {
        texts << m_label->text();
        if (onText)
            onText(texts.last());
    }
}

StreamReceiver::StreamReceiver()
{
    clock.start();
    m_server.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            streams.push_back(std::make_unique<Stream>());
            Stream *stream = streams.back().get();
            stream->socket = socket;
            socket->setReadBufferSize(paced);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, stream] {
                if (!paced)
                    take(*stream);
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket,
                             [stream] { stream->closed = true; });
        }
    });
}

void StreamReceiver::take(Stream &stream)
{
    const QByteArray bytes = stream.socket->readAll();
    if (bytes.isEmpty())
        return;
    stream.data += bytes;
    stream.reads.append({clock.elapsed(), stream.data.size()});
    if (onData)
        onData(stream);
}

WindowDriver::WindowDriver(WindowKind kind, quint16 brokerPort, const QString &ip)
    : kind(kind)
{
    Endpoints endpoints;
    endpoints.brokerPort = brokerPort;
    endpoints.streamPort = receiver.port();
    // The MAC and SN come from the box: markup in them must show as written.
    const QString mac = QStringLiteral("<b>00:11:22:33:44:55</b>");
    const QString sn = QStringLiteral("<i>SN</i>0001");
    const auto placed = [&](auto *form) { return form->setEndpoints(endpoints), form; };
    if (kind == WindowKind::Recovery)
        window = placed(new RecoveryForm(ip, mac, sn));
    else
        window = placed(new Form(ip, mac, sn, kind == WindowKind::System));
    window->show();
    QObject::connect(client(), &MqttClient::messageReceived, window, [this] {
        ++handled;
        if (onHandled)
            onHandled(handled);
    });
    image = dir.filePath(QStringLiteral("image.bin"));
    writeFile(image, imageBytes(1000));
    if (box.connectTo(QStringLiteral("127.0.0.1"), brokerPort))
        box.subscribe(QStringLiteral("TalixTools_in/#"));
}

WindowDriver::~WindowDriver()
{
    delete window.data();
    LocalWait::setTimeScaleForTests(1.0);
}

MqttClient *WindowDriver::client() const
{
    return window ? window->findChild<MqttClient *>() : nullptr;
}

namespace {
const char *const topicNames[] = {"update_camera_fw", "update_file_system", "recovery_file_system"};
}

QString WindowDriver::topicName() const
{
    return QLatin1String(topicNames[int(kind)]);
}

QString WindowDriver::busyText() const
{
    const char *texts[] = {"The camera fw is updating, it takes about 1 minute. Please do not "
                           "close the camera fw update form.",
                           "The system fw is updating, it takes about 30 minutes. Please do not "
                           "close the system fw update form.",
                           "The system is recovering, it takes about 25 minutes. Please do not "
                           "close the recovery system form."};
    return QLatin1String(texts[int(kind)]);
}

void WindowDriver::choose(const QString &path)
{
    dialogs.files = QStringList{path};
    child<QPushButton>("pushButton_Browser")->click();
    imageSize = QFileInfo(path).size();
}

void WindowDriver::clickStart()
{
    dialogs.answers = {QMessageBox::Yes};
    if (window) // a file dialog may have closed it
        startButton()->click();
}

void WindowDriver::begin(double scale)
{
    LocalWait::setTimeScaleForTests(scale);
    if (!recovery() && child<QLineEdit>("lineEdit")->text().isEmpty())
        choose(image);
    clickStart();
}

bool WindowDriver::startRun(double scale)
{
    const int requestsBefore = requests();
    const size_t streamsBefore = receiver.streams.size();
    const auto ready = [&] {
        return window && requests() > requestsBefore &&
               (recovery() || (receiver.streams.size() > streamsBefore &&
                               receiver.last()->data.size() == imageSize &&
                               state()->text() == WindowTexts::Succeed));
    };
    // The scaled connection wait is short; the connection goes on in the background, and a run
    // that ended for want of it is simply started again.
    for (int attempt = 0; attempt < 50 && window && (attempt == 0 || !ready()); ++attempt) {
        begin(scale);
        (void)QTest::qWaitFor([&] { return ready() || !window || startButton()->isEnabled(); },
                              20000);
    }
    dialogs.calls.clear();
    return ready();
}

void WindowDriver::report(const QByteArray &payload, const QString &topic)
{
    box.publish(topic.isEmpty() ? "TalixTools_out/" + topicName() : topic, payload);
}

QStringList WindowDriver::close()
{
    const int before = dialogs.calls.size();
    window->close();
    return dialogs.texts().mid(before);
}
