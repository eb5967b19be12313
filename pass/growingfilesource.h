// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "bytesource.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <mutex>

// A file read from its first byte while a download still appends to it: at its current end the
// reader waits until the file grows, the download is complete, or it failed. The download keeps
// its own pace: the file, which the cache keeps anyway, lies between the line and the card.
class GrowingFileSource : public ByteSource
{
public:
    GrowingFileSource() = default;
    Q_DISABLE_COPY(GrowingFileSource)

    // Opens path, which must exist; on failure error receives why.
    bool open(const QString &path, QString *error = nullptr);
    // From any thread: the file has grown; it holds everything; the download failed.
    void grew();
    void complete();
    void fail();
    // Milliseconds the reader has waited for the download so far.
    qint64 waitedMs() const { return waited; }

    bool next(QByteArrayView *piece) override;
    void stop() override;
    bool stopRequested() const override { return stopped; }

private:
    enum class Writer
    {
        Running,
        Complete,
        Failed
    };
    Writer writerState();
    bool waitForMore();

    QFile file;
    QByteArray buffer;
    std::mutex mutex;
    std::condition_variable changed;
    Writer writer = Writer::Running;
    bool grown = false;
    std::atomic<bool> stopped{false};
    std::atomic<qint64> waited{0};
};
