// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFile>
#include <QObject>
#include <QString>

class QTimer;
class Sha256;

// Reads a file through a SHA-256 in pieces, one per pass of the event loop, so that a large file
// neither freezes the loop nor takes memory, and a stop gets through at once.
class FileHasher : public QObject
{
    Q_OBJECT

public:
    explicit FileHasher(QObject *parent = nullptr);
    Q_DISABLE_COPY(FileHasher)

    // Adds the bytes of path to hash, which must outlive the run; the caller reads the digest.
    // Emits exactly one finished(), already before returning when the file cannot be opened.
    void start(const QString &path, Sha256 &hash);
    // Ends a running run without a signal.
    void stop();

Q_SIGNALS:
    void progress(qint64 done, qint64 total);
    // ok, or why the file could not be read as a German text.
    void finished(bool ok, const QString &error);

private:
    void hashPiece();
    void end(bool ok);

    QTimer *pieceTimer = nullptr;
    QFile file;
    Sha256 *hash = nullptr;
    qint64 done = 0;
    qint64 total = 0;
};
