// SPDX-License-Identifier: GPL-3.0-or-later
// The checks of a request that need no running installation.
#include "germannumber.h"
#include "installation.h"

#include <QFileInfo>
#include <algorithm>

QString romRefusal(const QString &path, const QString &noun)
{
    if (path.isEmpty())
        return QStringLiteral("Es ist keine %1 ausgewählt.").arg(noun);
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("„%1“ ist ein Ordner, keine %2.").arg(path, noun);
    if (!info.isFile())
        return QStringLiteral("Die %1 „%2“ wurde nicht gefunden.").arg(noun, path);
    if (info.size() < 1)
        return QStringLiteral("Die %1 „%2“ ist leer.").arg(noun, path);
    if (info.size() > maxRomBytes)
        return QStringLiteral("Die %1 „%2“ ist größer als 8 MiB.").arg(noun, path);
    return QString();
}

QString refusalOf(const InstallRequest &request)
{
    if (request.isLocal()) {
        if (request.localImage.isEmpty())
            return QStringLiteral("Es ist keine lokale Image-Datei ausgewählt.");
        if (!QFileInfo(request.localImage).isFile())
            return QStringLiteral("Die lokale Image-Datei „%1“ wurde nicht gefunden.")
                .arg(request.localImage);
    } else if (request.version.image.isEmpty()) {
        return QStringLiteral("Es ist keine Version ausgewählt. Bitte „Neu laden“ klicken oder eine lokale "
                              "Image-Datei verwenden.");
    }
    QString refusal = romRefusal(request.romFile, QStringLiteral("ROM-Datei"));
    if (refusal.isEmpty() && request.useExt)
        refusal = romRefusal(request.extFile, QStringLiteral("Erweiterungs-ROM-Datei"));
    if (!refusal.isEmpty())
        return refusal;
    const QString noCard = QStringLiteral("Es ist keine Speicherkarte ausgewählt.");
    if (request.targets.isEmpty())
        return noCard;
    QStringList paths;
    for (const DriveInfo &target : request.targets) {
        if (target.path.isEmpty())
            return noCard;
        if (paths.contains(target.path))
            return QStringLiteral("Die Speicherkarte %1 ist mehrfach ausgewählt.").arg(target.path);
        paths << target.path;
    }
    return QString();
}

DriveInfo freshDrive(const QList<DriveInfo> &fresh, const QString &path)
{
    for (const DriveInfo &drive : fresh) {
        if (drive.path == path)
            return drive;
    }
    return DriveInfo();
}

QString targetRefusal(const DriveInfo &chosen, const QList<DriveInfo> &fresh)
{
    const DriveInfo now = freshDrive(fresh, chosen.path);
    if (now.path.isEmpty())
        return QStringLiteral("Die gewählte Speicherkarte %1 ist nicht mehr vorhanden. Bitte die Karte "
                              "einstecken, auf „Aktualisieren“ klicken und die Auswahl prüfen.")
            .arg(chosen.path);
    if (now.identity() != chosen.identity())
        return QStringLiteral("Unter %1 ist inzwischen eine andere Karte (%2). Bitte auf „Aktualisieren“ "
                              "klicken und die Auswahl prüfen.")
            .arg(chosen.path, now.label);
    return QString();
}

QString targetRefusal(const QList<DriveInfo> &chosen, const QList<DriveInfo> &fresh)
{
    for (const DriveInfo &drive : chosen) {
        const QString refusal = targetRefusal(drive, fresh);
        if (!refusal.isEmpty())
            return refusal;
    }
    return QString();
}

QUrl imageUrl(const QUrl &base, const VersionEntry &entry)
{
    QUrl folder = base;
    QString path = folder.path(QUrl::FullyDecoded);
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    folder.setPath(path, QUrl::DecodedMode);
    return folder.resolved(QUrl(entry.image, QUrl::TolerantMode));
}

QString cardTooSmallText(qint64 imageBytes, qint64 cardBytes)
{
    return QStringLiteral("Das Image (%1) ist größer als die Speicherkarte (%2).")
        .arg(germanSize(imageBytes), germanSize(cardBytes));
}

bool isLargeDrive(const DriveInfo &drive)
{
    return drive.sizeBytes > 256000000000;
}

QString eraseQuestion(const DriveInfo &drive)
{
    if (isLargeDrive(drive))
        return QStringLiteral(
                   "ACHTUNG: Dieses Laufwerk ist mit %1 GB sehr groß für eine Speicherkarte. Es könnte "
                   "eine externe Festplatte mit wichtigen Daten sein.\n\n%2\n\nAlle Daten darauf werden "
                   "unwiderruflich gelöscht. Wirklich fortfahren?")
            .arg(germanNumber(double(drive.sizeBytes) / 1e9, 0), drive.label);
    return QStringLiteral("Alle Daten auf dieser Karte werden unwiderruflich gelöscht:\n\n%1\n\nFortfahren?")
        .arg(drive.label);
}

QString eraseQuestion(const QList<DriveInfo> &drives)
{
    if (drives.size() == 1)
        return eraseQuestion(drives.constFirst());
    QStringList lines;
    for (const DriveInfo &drive : drives)
        lines << (isLargeDrive(drive)
                      ? QStringLiteral("• %1 – ACHTUNG: mit %2 GB sehr groß für eine Speicherkarte, "
                                       "vielleicht eine externe Festplatte mit wichtigen Daten")
                            .arg(drive.label, germanNumber(double(drive.sizeBytes) / 1e9, 0))
                      : QStringLiteral("• %1").arg(drive.label));
    const bool large = std::any_of(drives.cbegin(), drives.cend(), isLargeDrive);
    return QStringLiteral("Alle Daten auf diesen %1 Laufwerken werden unwiderruflich gelöscht:\n\n%2\n\n%3")
        .arg(QString::number(drives.size()), lines.join(QLatin1Char('\n')),
             large ? QStringLiteral("Wirklich fortfahren?") : QStringLiteral("Fortfahren?"));
}

QString finishedText()
{
    return QStringLiteral(
        "Fertig! Die Karte wurde geschrieben und geprüft.\nSie kann jetzt entfernt und in den "
        "Raspberry Pi gesteckt werden.");
}

QUrl counterUrlFor(const QUrl &configUrl)
{
    const QUrl url = configUrl.resolved(QUrl(QStringLiteral("count.php")));
    if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https"))
        return QUrl();
    return url;
}
