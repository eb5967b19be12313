#include "progressline.h"

#include <QLocale>
#include <QStringList>

namespace {

// Speeds measured over less than this say little.
const qint64 minimumElapsedMs = 500;

QString decimal(double value)
{
    return QLocale(QLocale::German).toString(value, 'f', 1);
}

// "0:35", "12:04", "1:02:03".
QString duration(qint64 seconds)
{
    const QString minutesAndSeconds =
        QStringLiteral("%1:%2").arg(seconds / 60 % 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    if (seconds < 3600)
        return minutesAndSeconds;
    return QStringLiteral("%1:%2").arg(seconds / 3600).arg(minutesAndSeconds.rightJustified(5, '0'));
}

} // namespace

QString progressLine(const QString &stepText, qint64 done, qint64 total, qint64 elapsedMs)
{
    QStringList parts{stepText};
    if (total > 0)
        parts << QStringLiteral("%1 %").arg(done * 100 / total);
    else
        parts << QStringLiteral("%1 MB").arg(decimal(done / 1e6));
    if (elapsedMs < minimumElapsedMs || done <= 0)
        return parts.join(QStringLiteral("  "));
    const double bytesPerSecond = done * 1000.0 / elapsedMs;
    parts << QStringLiteral("%1 MB/s").arg(decimal(bytesPerSecond / 1e6));
    if (total > done)
        parts << QStringLiteral("noch %1").arg(duration(qint64((total - done) / bytesPerSecond + 0.5)));
    return parts.join(QStringLiteral("  "));
}
