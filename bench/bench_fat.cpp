// SPDX-License-Identifier: GPL-3.0-or-later
// Writes one file into a directory of a FAT image, as the ROM injection does, several times;
// prints the best time of one round (read the source, open, write, close) in seconds. Process
// start-up is left out: in the installer the writer runs inside the running window. For bench/fat.sh.
#include "fatimage.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

namespace {

bool writeOnce(const QString &imagePath, const QString &sourcePath, const QString &dir, const QString &name)
{
    QFile source(sourcePath);
    FatImage image;
    QString error;
    if (!source.open(QIODevice::ReadOnly)) {
        QTextStream(stderr) << source.errorString() << '\n';
        return false;
    }
    if (!image.open(imagePath, &error) || !image.writeFile(dir, name, source.readAll(), &error)) {
        QTextStream(stderr) << error << '\n';
        return false;
    }
    image.close();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 6) {
        QTextStream(stderr) << "usage: bench_fat IMAGE SOURCE DIR NAME ROUNDS\n";
        return 2;
    }
    qint64 best = -1;
    for (int round = 0; round < QByteArray(argv[5]).toInt(); ++round) {
        QElapsedTimer timer;
        timer.start();
        if (!writeOnce(argv[1], argv[2], argv[3], argv[4]))
            return 1;
        const qint64 elapsed = timer.nsecsElapsed();
        best = best < 0 ? elapsed : qMin(best, elapsed);
    }
    QTextStream(stdout) << QString::number(double(best) / 1e9, 'f', 6) << '\n';
    return 0;
}
