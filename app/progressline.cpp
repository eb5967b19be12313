// SPDX-License-Identifier: GPL-3.0-or-later
#include "progressline.h"

#include "progressmeter.h"

#include <QStringList>

QString progressLine(const ProgressMeter &meter)
{
    QStringList parts{meter.activityText()};
    const int percent = meter.percent();
    parts << (percent >= 0 ? QStringLiteral("%1 %").arg(percent) : megabytesText(meter.doneBytes()));
    if (meter.bytesPerSecond() > 0 || meter.isStalled())
        parts << speedText(meter.bytesPerSecond());
    if (meter.isStalled())
        parts << meter.waitingText();
    else if (meter.secondsLeft() > 0)
        parts << QStringLiteral("noch %1").arg(durationText(meter.secondsLeft()));
    return parts.join(QStringLiteral("  "));
}
