// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// A number as the user reads it, in German: decimal comma and a point between thousands, e.g.
// "1.946" or "2,5".
QString germanNumber(double value, int decimals);
// A size as the user reads it: in MB below a gigabyte, else in GB, one decimal, e.g. "0,3 MB" or
// "1,9 GB".
QString germanSize(qint64 bytes);
