#include "germannumber.h"

#include <QLocale>

QString germanNumber(double value, int decimals)
{
    static const QLocale german(QLocale::German, QLocale::Germany);
    return german.toString(value, 'f', decimals);
}
