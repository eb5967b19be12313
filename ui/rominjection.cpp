// Puts the user's ROM files into the FAT partition of the image before it is written.
#include "fatimage.h"
#include "mainwindow.h"

#include <QFile>

void MainWindow::copyRomsIntoImage()
{
    setStatus(QStringLiteral("Kopiere ROM-Dateien ins Image …"), 0);
    FatImage image;
    QString error;
    const bool copied =
        image.open(imagePath, &error) && writeRomFile(image, romFile, QStringLiteral("rom.bin"), &error) &&
        (extFile.isEmpty() || writeRomFile(image, extFile, QStringLiteral("ext.bin"), &error));
    // Every written file is already flushed; the image is let go before anything else happens to it.
    image.close();
    if (copied)
        startWriting();
    else
        fail(error);
}

// Copies one ROM file into the image's Rom folder as targetName and logs its size.
bool MainWindow::writeRomFile(FatImage &image, const QString &sourcePath, const QString &targetName,
                              QString *error)
{
    QFile source(sourcePath);
    QByteArray data;
    if (source.open(QIODevice::ReadOnly))
        data = source.readAll();
    if (!source.isOpen() || source.error() != QFileDevice::NoError) {
        *error = QStringLiteral("%1 kann nicht gelesen werden: %2").arg(sourcePath, source.errorString());
        return false;
    }
    if (!image.writeFile(QStringLiteral("Rom"), targetName, data, error))
        return false;
    const QString size = QStringLiteral("%1 MB").arg(QString::number(double(data.size()) / 1e6, 'f', 1));
    appendLog(QStringLiteral("Rom/%1 geschrieben (%2)").arg(targetName, size));
    return true;
}
