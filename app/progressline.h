// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

class ProgressMeter;

// The line that a terminal shows for a running step: its text, then how far it is, how fast it
// goes and how long it will still take, as far as the meter can tell yet, in German number
// format: "Schreibe auf die Karte …  42 %  12,3 MB/s  noch 0:35".
QString progressLine(const ProgressMeter &meter);
