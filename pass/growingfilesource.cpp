// SPDX-License-Identifier: GPL-3.0-or-later
#include "growingfilesource.h"

#include "fail.h"

#include <QElapsedTimer>
#include <chrono>

namespace {
constexpr qint64 readSize = 1024 * 1024;
// The download says when it has taken bytes, not when they reached the file: the reader looks
// again after this long in any case.
constexpr auto recheck = std::chrono::milliseconds(50);
} // namespace

bool GrowingFileSource::open(const QString &path, QString *error)
{
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return ::fail(
            error, QStringLiteral("Die Image-Datei kann nicht gelesen werden: %1").arg(file.errorString()));
    buffer.resize(readSize);
    return true;
}

void GrowingFileSource::grew()
{
    std::lock_guard<std::mutex> lock(mutex);
    grown = true;
    changed.notify_one();
}

void GrowingFileSource::complete()
{
    std::lock_guard<std::mutex> lock(mutex);
    writer = Writer::Complete;
    changed.notify_one();
}

void GrowingFileSource::fail()
{
    std::lock_guard<std::mutex> lock(mutex);
    writer = Writer::Failed;
    changed.notify_one();
}

void GrowingFileSource::stop()
{
    std::lock_guard<std::mutex> lock(mutex);
    stopped = true;
    changed.notify_one();
}

GrowingFileSource::Writer GrowingFileSource::writerState()
{
    std::lock_guard<std::mutex> lock(mutex);
    return writer;
}

// The state is taken before the read: a file complete before a read that finds nothing new is at
// its end.
bool GrowingFileSource::next(QByteArrayView *piece)
{
    for (;;) {
        const Writer before = writerState();
        if (stopped || before == Writer::Failed)
            return false;
        const qint64 length = file.read(buffer.data(), buffer.size());
        if (length < 0)
            return false;
        if (length > 0 || before == Writer::Complete) {
            *piece = QByteArrayView(buffer.constData(), length);
            return true;
        }
        if (!waitForMore())
            return false;
    }
}

bool GrowingFileSource::waitForMore()
{
    QElapsedTimer clock;
    clock.start();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait_for(lock, recheck, [this] { return grown || stopped || writer != Writer::Running; });
    grown = false;
    waited += clock.elapsed();
    return !stopped;
}
