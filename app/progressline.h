#pragma once

#include <QString>

// The line that a terminal shows for a running step: its text, then how far it is, how fast it
// goes and how long it will still take, as far as these can be told yet, in German number
// format: "Schreibe auf die Karte …  42 %  12,3 MB/s  noch 0:35". total < 1 means unknown.
QString progressLine(const QString &stepText, qint64 done, qint64 total, qint64 elapsedMs);
