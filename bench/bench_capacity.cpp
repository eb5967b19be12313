// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the write helper's check for fake cards on a block device, as the helper does right after
// its exclusive open, and prints the median time of several rounds in seconds. It overwrites the
// check's marked blocks on the device. For bench/writehelper.sh: bench_capacity DEVICE [ROUNDS]
#include "descriptor.h"
#include "writehelper.h"

#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QTextStream>
#include <algorithm>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        QTextStream(stderr) << "usage: bench_capacity DEVICE [ROUNDS]\n";
        return 2;
    }
    const QString device = QFile::decodeName(argv[1]);
    const int rounds = argc > 2 ? std::max(1, QByteArray(argv[2]).toInt()) : 5;
    const Descriptor target(::open(argv[1], O_WRONLY | O_EXCL | O_CLOEXEC));
    quint64 size = 0;
    if (!target.isOpen() || ::ioctl(target.get(), BLKGETSIZE64, &size) != 0) {
        QTextStream(stderr) << "cannot open " << device << " exclusively\n";
        return 1;
    }
    QList<double> seconds;
    for (int round = 0; round < rounds; ++round) {
        QString error;
        QElapsedTimer timer;
        timer.start();
        if (!checkRealCapacity(target.get(), qint64(size), device, &error)) {
            QTextStream(stderr) << error << '\n';
            return 1;
        }
        seconds << timer.nsecsElapsed() / 1e9;
    }
    std::sort(seconds.begin(), seconds.end());
    QTextStream(stdout) << QString::number(seconds.at(seconds.size() / 2), 'f', 3) << '\n';
    return 0;
}
