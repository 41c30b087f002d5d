#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>

class QObject;

// The MD5 an update request announces for its image: the file read in small blocks on a
// worker thread, while the window's event loop keeps running.
namespace ImageDigest {

// Bytes read and hashed per step: little memory, and a stop is seen within one block. From
// 256 KiB to 8 MiB the block size made no difference to the speed.
constexpr qint64 BlockSize = 2 * 1024 * 1024;

enum Status {
    Done,
    ReadError, // the file cannot be opened or a read fails
    Abandoned  // told to stop before the end
};

struct Result
{
    Status status = ReadError;
    QByteArray md5Hex; // 32 lower-case hex digits when Done
};

// Hashes the file on the calling thread; gives up as soon as `stop` is set.
Result md5(const QString &path, const std::atomic_bool &stop);

// Hashes the file on a worker thread and waits for it in a local event loop. When `guard` is
// destroyed meanwhile, or the application quits, the worker is told to stop and this returns
// Abandoned at once; the worker then ends within one block and touches nothing of the caller.
Result md5InBackground(const QString &path, QObject *guard);

} // namespace ImageDigest
