#include "imagedigest.h"

#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QPointer>
#include <QtConcurrent>

#include <openssl/evp.h>

#include <memory>

namespace ImageDigest {

Result md5(const QString &path, const std::atomic_bool &stop)
{
    Result result;
    QFile file(path);
    // Unbuffered: each block goes straight from the file into our buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return result;
    // OpenSSL's MD5: the faster of the two a Debian system offers (bench_md5 compares them).
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
        return result;

    QByteArray block(int(BlockSize), Qt::Uninitialized);
    for (;;) {
        if (stop.load(std::memory_order_relaxed)) {
            result.status = Abandoned;
            return result;
        }
        const qint64 n = file.read(block.data(), BlockSize);
        // A read error must not announce the digest of part of the file.
        if (n < 0)
            return result;
        if (n == 0)
            break;
        if (EVP_DigestUpdate(context.get(), block.constData(), size_t(n)) != 1)
            return result;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return result;
    result.md5Hex = QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
    result.status = Done;
    return result;
}

Result md5InBackground(const QString &path, QObject *guard)
{
    // Shared with the worker, which outlives this call when the wait is cut short.
    const auto stop = std::make_shared<std::atomic_bool>(false);
    const QFuture<Result> future = QtConcurrent::run([path, stop] { return md5(path, *stop); });

    QPointer<QObject> guardAlive(guard);
    QEventLoop loop;
    QFutureWatcher<Result> watcher;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    if (guard)
        QObject::connect(guard, &QObject::destroyed, &loop, &QEventLoop::quit);
    watcher.setFuture(future);
    if (!future.isFinished())
        loop.exec();

    // Left by the guard's end or by the application's quit: the worker stops at its next
    // block, and ~QCoreApplication waits for it.
    if (!future.isFinished() || (guard && !guardAlive)) {
        stop->store(true);
        Result abandoned;
        abandoned.status = Abandoned;
        return abandoned;
    }
    return future.result();
}

} // namespace ImageDigest
