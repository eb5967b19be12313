// Puts the user's ROM files into the FAT partition of the working copy before it is written.
#include "fatimage.h"
#include "germannumber.h"
#include "installation.h"

#include <QFile>

bool Installation::copyRomsIntoImage(QString *error)
{
    FatImage image;
    const bool copied =
        image.open(imagePath, error) &&
        writeRomFile(image, request.romFile, QStringLiteral("rom.bin"), error) &&
        (!request.useExt || writeRomFile(image, request.extFile, QStringLiteral("ext.bin"), error));
    // Every written file is already flushed; the image is let go before anything else happens to it.
    image.close();
    return copied;
}

// Copies one ROM file into the image's Rom folder as targetName and logs its size.
bool Installation::writeRomFile(FatImage &image, const QString &sourcePath, const QString &targetName,
                                QString *error)
{
    QFile source(sourcePath);
    QByteArray data;
    if (source.open(QIODevice::ReadOnly))
        data = source.read(maxRomBytes + 1);
    if (!source.isOpen() || source.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1 kann nicht gelesen werden: %2").arg(sourcePath, source.errorString());
        return false;
    }
    if (!image.writeFile(QStringLiteral("Rom"), targetName, data, error))
        return false;
    Q_EMIT logLine(QStringLiteral("Rom/%1 geschrieben (%2)").arg(targetName, germanSize(data.size())));
    return true;
}
