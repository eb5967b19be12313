// SPDX-License-Identifier: GPL-3.0-or-later
#include "filechecks.h"

#include "fatimage.h"
#include "germannumber.h"
#include "imageformat.h"
#include "installation.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr qint64 kibibyte = 1024;
constexpr qint64 kickstartSizes[] = {256 * kibibyte, 512 * kibibyte, 1024 * kibibyte, 2048 * kibibyte};

QByteArray head(const QString &path, qint64 bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(bytes) : QByteArray();
}

bool isPacked(const QString &path)
{
    return detectImageFormat(head(path, imageFormatHeadSize)) != ImageFormat::Raw;
}

bool looksLikePicture(const QByteArray &start)
{
    static const char *const signatures[] = {"\x89PNG", "\xFF\xD8\xFF", "GIF8", "%PDF"};
    for (const char *signature : signatures)
        if (start.startsWith(signature))
            return true;
    return false;
}

// Text: no byte below a blank but tabs and line ends; a ROM is full of them.
bool looksLikeText(const QByteArray &start)
{
    for (const char byte : start) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
    }
    return !start.isEmpty();
}

bool isKickstartSize(qint64 size)
{
    for (const qint64 kickstart : kickstartSizes)
        if (size == kickstart)
            return true;
    return false;
}

} // namespace

QString cardImageProblem(const QString &path)
{
    if (!QFileInfo(path).isFile() || isPacked(path))
        return QString();
    FatImage image;
    quint32 romFolder = 0;
    const bool fits = image.open(path, nullptr, QIODevice::ReadOnly) &&
                      image.geometry().partitionOffset > 0 &&
                      image.resolveDir(QStringLiteral("Rom"), &romFolder);
    if (fits)
        return QString();
    return QStringLiteral("„%1“ ist kein Speicherkarten-Image für Tobra: Es fehlt eine Partitionstabelle mit "
                          "einer FAT-Partition, die den Ordner „Rom“ enthält.")
        .arg(QFileInfo(path).fileName());
}

QString romDoubt(const QString &path)
{
    const QFileInfo info(path);
    const QByteArray start = head(path, 4096);
    if (!info.isFile() || start.isEmpty())
        return QString();
    QString reason;
    if (looksLikePicture(start))
        reason = QStringLiteral("Die Datei ist ein Bild oder Dokument.");
    else if (looksLikeText(start))
        reason = QStringLiteral("Die Datei enthält nur Text.");
    else if (!isKickstartSize(info.size()))
        reason =
            QStringLiteral("Die Datei ist %1 Bytes groß; Kickstart-ROMs haben 256 KiB, 512 KiB, 1 MiB oder "
                           "2 MiB.")
                .arg(germanNumber(double(info.size()), 0));
    if (reason.isEmpty())
        return QString();
    return QStringLiteral("„%1“ ist wohl kein Kickstart-ROM: %2").arg(info.fileName(), reason);
}

qint64 knownImageSize(const InstallRequest &request)
{
    if (request.isLocal())
        return isPacked(request.localImage) ? 0 : QFileInfo(request.localImage).size();
    if (request.version.imageSize > 0)
        return request.version.imageSize;
    if (request.expectedSha256.isEmpty())
        return 0;
    const QString cached = Installation::imageCache() + QLatin1Char('/') + request.expectedSha256;
    return QFileInfo(cached).isFile() && !isPacked(cached) ? QFileInfo(cached).size() : 0;
}

bool isTooSmallFor(const DriveInfo &card, qint64 imageBytes)
{
    return imageBytes > 0 && card.sizeBytes < imageBytes;
}

QString tooSmallText(const DriveInfo &card, qint64 imageBytes)
{
    return isTooSmallFor(card, imageBytes) ? cardTooSmallText(imageBytes, card.sizeBytes) : QString();
}

QString tooSmallCards(const QList<DriveInfo> &cards, qint64 imageBytes)
{
    for (const DriveInfo &card : cards) {
        const QString text = tooSmallText(card, imageBytes);
        if (!text.isEmpty())
            return cards.size() == 1 ? text : QStringLiteral("%1: %2").arg(card.path, text);
    }
    return QString();
}
