#pragma once

#include <QObject>
#include <QString>

class QTimer;

// Copies one file into another in bounded pieces through the event loop, so progress and a
// cancel get through while it runs. Inside the kernel (copy_file_range, which clones where the
// file system can) with a read/write loop as fallback.
class LocalCopy : public QObject
{
    Q_OBJECT

public:
    explicit LocalCopy(QObject *parent = nullptr);
    // A running copy stops; its target stays as far as it got, no signal follows.
    ~LocalCopy() override;
    Q_DISABLE_COPY(LocalCopy)

    // Copies source to a new target file (created with owner-only access). Emits exactly one
    // finished(), already before returning when a file cannot be opened.
    void start(const QString &source, const QString &target);

Q_SIGNALS:
    void progress(qint64 done, qint64 total);
    // ok, or the reason as a German text.
    void finished(bool ok, const QString &error);

private:
    void copyPiece();
    bool copyInKernel(qint64 length, qint64 *copied);
    bool copyThroughBuffer(qint64 length, qint64 *copied);
    void end(bool ok, QString error);

    QTimer *pieceTimer = nullptr;
    int sourceFd = -1;
    int targetFd = -1;
    qint64 done = 0;
    qint64 total = 0;
    bool kernelCopy = true;
};
