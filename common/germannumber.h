#pragma once

#include <QString>

// A number as the user reads it, in German: decimal comma and a point between thousands, e.g.
// "1.946" or "2,5".
QString germanNumber(double value, int decimals);
