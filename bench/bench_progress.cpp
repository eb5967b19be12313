// SPDX-License-Identifier: GPL-3.0-or-later
// Times what the window does for the progress reports of a download or a write: a ProgressMeter
// update for each report and, at most ten times a second, its status text and percentage. Prints
// both costs and the share of one core they take at the rate of a fast transfer reported in small
// pieces. For bench/progress.sh: bench_progress [REPORTS]
#include "progressmeter.h"

#include <QElapsedTimer>
#include <QTextStream>
#include <algorithm>

namespace {

// 100 MB/s reported every 16 KiB: faster than any card, and smaller pieces than either the
// network or the helper reports.
constexpr double transferBytesPerSecond = 100e6;
constexpr qint64 reportBytes = 16 * 1024;
constexpr double textsPerSecond = 10;

volatile qint64 sink = 0; // keeps the work from being optimised away

template <typename Work> double nanosecondsEach(qint64 rounds, Work work)
{
    QElapsedTimer timer;
    timer.start();
    for (qint64 round = 1; round <= rounds; ++round)
        work(round);
    return double(timer.nsecsElapsed()) / double(rounds);
}

} // namespace

int main(int argc, char **argv)
{
    const qint64 reports = argc > 1 ? std::max<qint64>(1, QByteArray(argv[1]).toLongLong()) : 200000;
    const qint64 total = reportBytes * reports;
    ProgressMeter meter;
    meter.start(QStringLiteral("Schreibe auf die Karte …"));
    const double updateNs = nanosecondsEach(
        reports, [&](qint64 report) { sink = sink + meter.update(reportBytes * report / 2, total); });
    const double textNs = nanosecondsEach(
        reports / 10 + 1, [&](qint64) { sink = sink + meter.text().size() + meter.percent(); });
    const double reportsPerSecond = transferBytesPerSecond / double(reportBytes);
    const double share = (reportsPerSecond * updateNs + textsPerSecond * textNs) / 1e9;
    QTextStream(stdout) << "ns per update " << qint64(updateNs) << ", ns per text " << qint64(textNs)
                        << ", share of one core at " << qint64(reportsPerSecond)
                        << " reports/s: " << QString::number(share * 100, 'f', 3) << " %\n";
    return 0;
}
