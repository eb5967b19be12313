// SPDX-License-Identifier: GPL-3.0-or-later
#include "germannumber.h"

#include <QLocale>

QString germanNumber(double value, int decimals)
{
    static const QLocale german(QLocale::German, QLocale::Germany);
    return german.toString(value, 'f', decimals);
}

QString germanSize(qint64 bytes)
{
    if (bytes < 1000000000)
        return QStringLiteral("%1 MB").arg(germanNumber(double(bytes) / 1e6, 1));
    return QStringLiteral("%1 GB").arg(germanNumber(double(bytes) / 1e9, 1));
}
