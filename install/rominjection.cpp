// SPDX-License-Identifier: GPL-3.0-or-later
// Reads the user's ROM files, which the pass puts into the image's FAT partition on its way.
#include "germannumber.h"
#include "installation.h"

#include <QFile>

// Read before the helper starts: a file that cannot be read stops the run before the card is held.
QString Installation::readRoms()
{
    roms.clear();
    QString error;
    if (!readRomFile(request.romFile, QStringLiteral("rom.bin"), &error) ||
        (request.useExt && !readRomFile(request.extFile, QStringLiteral("ext.bin"), &error)))
        return error;
    return QString();
}

bool Installation::readRomFile(const QString &path, const QString &name, QString *error)
{
    QFile source(path);
    QByteArray data;
    if (source.open(QIODevice::ReadOnly))
        data = source.read(maxRomBytes + 1);
    if (!source.isOpen() || source.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1 kann nicht gelesen werden: %2").arg(path, source.errorString());
        return false;
    }
    roms.append(RomFile{name, data});
    return true;
}
