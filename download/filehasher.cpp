// SPDX-License-Identifier: GPL-3.0-or-later
#include "filehasher.h"

#include "sha256.h"

#include <QTimer>

namespace {
// Hashed in a few milliseconds, so the event loop turns often enough for a window.
constexpr qint64 pieceBytes = 4 * 1024 * 1024;
} // namespace

FileHasher::FileHasher(QObject *parent) : QObject(parent), pieceTimer(new QTimer(this))
{
    pieceTimer->setInterval(0);
    connect(pieceTimer, &QTimer::timeout, this, &FileHasher::hashPiece);
}

void FileHasher::start(const QString &path, Sha256 &into)
{
    hash = &into;
    done = 0;
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return end(false);
    total = file.size();
    pieceTimer->start();
}

void FileHasher::stop()
{
    pieceTimer->stop();
    file.close();
}

void FileHasher::hashPiece()
{
    const QByteArray piece = file.read(pieceBytes);
    if (piece.isEmpty())
        return end(file.error() == QFileDevice::NoError);
    hash->addData(piece);
    done += piece.size();
    Q_EMIT progress(done, qMax(total, done));
}

void FileHasher::end(bool ok)
{
    const QString error =
        ok ? QString()
           : QStringLiteral("„%1“ kann nicht gelesen werden: %2").arg(file.fileName(), file.errorString());
    stop();
    Q_EMIT finished(ok, error);
}
