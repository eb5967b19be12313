#pragma once
// Reads a file back from the FAT volume of an image or a card with mtools, as a user's machine
// would see it:
//
//   fatFile(card.path(), 1024 * 1024, "Rom/rom.bin", dir.filePath("scratch.bin"))
//
// The result is the file's bytes, or "mcopy failed: " and mtools' message. Set MTOOLS_SKIP_CHECK=1
// for volumes that mtools finds odd but that are sound.

#include "loopdevice.h"

inline QByteArray fatFile(const QString &imageOrDevice, qint64 partitionOffset, const QString &name,
                          const QString &scratchFile)
{
    QFile::remove(scratchFile);
    QByteArray output;
    if (!runTool(
            "mcopy",
            {"-n", "-i", imageOrDevice + "@@" + QString::number(partitionOffset), "::" + name, scratchFile},
            &output))
        return "mcopy failed: " + output;
    QFile copy(scratchFile);
    return copy.open(QIODevice::ReadOnly) ? copy.readAll() : QByteArray();
}
