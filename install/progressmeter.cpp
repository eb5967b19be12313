// SPDX-License-Identifier: GPL-3.0-or-later
#include "progressmeter.h"

#include "germannumber.h"

#include <QElapsedTimer>

namespace {

constexpr qint64 windowMs = 5000;     // the speed is taken over this much of the recent past
constexpr qint64 firstSpeedMs = 1000; // no speed before this much has been measured
constexpr qint64 settledMs = 3000;    // no time left before the phase has run this long
constexpr qint64 sampleSpacingMs = 100;
constexpr qint64 stalledMs = 5000; // this long without a byte counts as a stall
constexpr double bytesPerMegabyte = 1e6;

qint64 steadyMilliseconds()
{
    static QElapsedTimer timer;
    if (!timer.isValid())
        timer.start();
    return timer.elapsed();
}

// Small sizes keep one decimal, so that a few megabytes still show movement.
int megabyteDecimals(qint64 bytes)
{
    return bytes < 10 * bytesPerMegabyte ? 1 : 0;
}

QString megabytes(qint64 bytes, int decimals)
{
    return germanNumber(double(bytes) / bytesPerMegabyte, decimals);
}

} // namespace

ProgressMeter::ProgressMeter(Clock clockFunction)
    : clock(clockFunction ? std::move(clockFunction) : Clock(steadyMilliseconds))
{}

void ProgressMeter::start(const QString &text, const QString &waitingFor)
{
    activity = text;
    waiting = waitingFor;
    startedMs = clock();
    advancedMs = startedMs;
    total = 0;
    // The speed is measured from the first report on: a transfer that resumes, or hashes what it
    // already has, may begin far above zero.
    samples.clear();
}

bool ProgressMeter::update(qint64 done, qint64 newTotal)
{
    const qint64 now = clock();
    total = newTotal;
    // Progress that went backwards (a retried request) starts the measurement over.
    if (!samples.isEmpty() && done < samples.last().done)
        samples.clear();
    if (samples.isEmpty() || done != samples.last().done)
        advancedMs = now;
    // A sample a tenth of a second is plenty; a later one within that time takes its place, so
    // that the bookkeeping stays small however often progress is reported.
    const bool newSample = samples.size() < 2 || now - samples.at(samples.size() - 2).atMs >= sampleSpacingMs;
    if (newSample)
        samples.append({now, done});
    else
        samples.last() = {now, done};
    while (samples.size() > 2 && now - samples.at(1).atMs >= windowMs)
        samples.removeFirst();
    return newSample || (total > 0 && done >= total);
}

qint64 ProgressMeter::doneBytes() const
{
    return samples.isEmpty() ? 0 : samples.last().done;
}

// Measured from the newest sample that lies a whole window back (or the oldest there is) to now.
double ProgressMeter::bytesPerSecond() const
{
    if (samples.isEmpty())
        return 0;
    const qint64 now = qMax(clock(), samples.last().atMs);
    qsizetype from = 0;
    while (from + 1 < samples.size() && now - samples.at(from + 1).atMs >= windowMs)
        ++from;
    const qint64 spanMs = now - samples.at(from).atMs;
    if (spanMs < firstSpeedMs)
        return 0;
    return double(samples.last().done - samples.at(from).done) * 1000 / double(spanMs);
}

bool ProgressMeter::isStalled() const
{
    return !samples.isEmpty() && (total <= 0 || doneBytes() < total) && clock() - advancedMs >= stalledMs;
}

QString ProgressMeter::waitingText() const
{
    if (!isStalled())
        return QString();
    const QString since = durationText((clock() - advancedMs) / 1000);
    return waiting.isEmpty() ? QStringLiteral("keine Daten seit %1").arg(since)
                             : QStringLiteral("%1 (seit %2)").arg(waiting, since);
}

qint64 ProgressMeter::secondsLeft() const
{
    const double speed = bytesPerSecond();
    if (total <= 0 || speed <= 0 || samples.isEmpty() || clock() - startedMs < settledMs)
        return -1;
    const qint64 left = qMax<qint64>(0, total - doneBytes());
    return qint64(double(left) / speed + 0.5);
}

int ProgressMeter::percent() const
{
    if (total <= 0)
        return -1;
    return int(qBound<qint64>(0, doneBytes(), total) * 100 / total);
}

QString ProgressMeter::text() const
{
    const qint64 done = doneBytes();
    QStringList parts;
    if (total > 0) {
        const int decimals = megabyteDecimals(total);
        parts << QStringLiteral("%1 von %2 MB").arg(megabytes(done, decimals), megabytes(total, decimals));
    } else {
        parts << megabytesText(done);
    }
    const double speed = bytesPerSecond();
    if (speed > 0 || isStalled())
        parts << speedText(speed);
    const qint64 left = secondsLeft();
    if (isStalled())
        parts << waitingText();
    else if (left >= 0)
        parts << QStringLiteral("noch etwa %1").arg(durationText(left));
    return activity + QLatin1Char(' ') + parts.join(QStringLiteral(" · "));
}

QString stepText(int step, int steps)
{
    return QStringLiteral("Schritt %1 von %2").arg(step).arg(steps);
}

QString megabytesText(qint64 bytes)
{
    return megabytes(bytes, megabyteDecimals(bytes)) + QStringLiteral(" MB");
}

QString speedText(double bytesPerSecond)
{
    return QStringLiteral("%1 MB/s").arg(germanNumber(bytesPerSecond / bytesPerMegabyte, 1));
}

QString durationText(qint64 seconds)
{
    const auto twoDigits = [](qint64 n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); };
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1:%2").arg(minutes).arg(twoDigits(seconds % 60));
    return QStringLiteral("%1:%2:%3").arg(minutes / 60).arg(twoDigits(minutes % 60), twoDigits(seconds % 60));
}
