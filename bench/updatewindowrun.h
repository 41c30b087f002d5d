#pragma once

// What the update window's benchmarks share: an image file, and the window driven the way an
// operator drives it, through its own buttons and the scripted dialogs.

#include "form.h"
#include "scripteddialogs.h"

#include <QCoreApplication>
#include <QFile>
#include <QPushButton>

#include <cstring>

namespace UpdateWindowRun {

constexpr qint64 MiB = 1024 * 1024;

// `size` bytes in 1 MiB blocks that all differ, so that no block can stand in for another.
inline bool writeImage(const QString &path, qint64 size)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(int(MiB), Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < block.size(); ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        block[i] = char(x);
    }
    for (qint64 done = 0; done < size; done += MiB) {
        std::memcpy(block.data(), &done, sizeof done);
        const qint64 n = qMin(MiB, size - done);
        if (f.write(block.constData(), n) != n)
            return false;
    }
    return true;
}

// A shown window for the box at 127.0.0.1, talking to the given ports, with the image at
// `path` chosen through Browser. Deleted with `delete` or deleteLater() by the caller.
inline Form *openWindow(bool systemMode, quint16 brokerPort, quint16 streamPort,
                        ScriptedDialogs &dialogs, const QString &path)
{
    auto *form = new Form(QStringLiteral("127.0.0.1"), QStringLiteral("AA:BB:CC:DD:EE:FF"),
                          QStringLiteral("SN-BENCH"), systemMode);
    Endpoints endpoints;
    endpoints.brokerPort = brokerPort;
    endpoints.streamPort = streamPort;
    form->setEndpoints(endpoints);
    form->show();
    dialogs.files = QStringList{path};
    if (auto *browser = form->findChild<QPushButton *>(QStringLiteral("pushButton_Browser")))
        browser->click();
    QCoreApplication::processEvents();
    return form;
}

// Start, answered Yes. Returns when the Start slot has handed over to the request, which
// then runs in the event loop.
inline bool startWithYes(Form *form, ScriptedDialogs &dialogs)
{
    auto *start = form->findChild<QPushButton *>(QStringLiteral("pushButton_Start"));
    if (!start)
        return false;
    dialogs.answers = {QMessageBox::Yes};
    start->click();
    return true;
}

} // namespace UpdateWindowRun
