// SPDX-License-Identifier: GPL-3.0-or-later
// What the inputs still lack, told beside each field: Install is usable only when a version (or a
// local image), the ROM files and a card are set. What a set input holds is checked when the
// installation is asked for.
#include "drivepicker.h"
#include "filechecks.h"
#include "filefield.h"
#include "mainwindow.h"
#include "namedwidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

namespace {

QString localImageHint(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("Bitte eine Image-Datei wählen.");
    if (!QFileInfo(path).isFile())
        return QStringLiteral("Die Datei wurde nicht gefunden.");
    return cardImageProblem(path);
}

QString driveHint(const QList<DriveInfo> &cards, qint64 imageBytes)
{
    if (cards.isEmpty())
        return QStringLiteral("Bitte eine Speicherkarte wählen.");
    return tooSmallCards(cards, imageBytes);
}

} // namespace

void MainWindow::updateReadiness()
{
    const InstallRequest request = requestFromWidgets();
    const bool local = request.useLocalImage;
    const qint64 imageBytes = knownImageSize(request);
    drivePicker->setImageSize(imageBytes);

    QString versionText;
    if (!local && request.version.image.isEmpty())
        versionText = listLoading
                          ? QStringLiteral("Die Versionsliste wird noch geladen …")
                          : QStringLiteral("Keine Version verfügbar: Bitte „Neu laden“ klicken oder eine "
                                           "lokale Image-Datei verwenden.");
    setHint(versionHint, versionText);
    localImageField->setHint(local ? localImageHint(request.localImage) : QString());
    romField->setHint(request.romFile.isEmpty() ? QStringLiteral("Bitte eine Kickstart-ROM-Datei wählen.")
                                                : romDoubt(request.romFile));
    extField->setHint(request.useExt && request.extFile.isEmpty()
                          ? QStringLiteral("Bitte eine Erweiterungs-ROM-Datei wählen.")
                          : QString());
    drivePicker->setHint(driveHint(request.targets, imageBytes));

    const bool imageSet = local ? !request.localImage.isEmpty() : !request.version.image.isEmpty();
    const bool romsSet = !request.romFile.isEmpty() && (!request.useExt || !request.extFile.isEmpty());
    installButton->setEnabled(!busy && imageSet && romsSet && !request.targets.isEmpty());
}

// The field a refusal of the request speaks of, in the order the refusal looks at them.
QWidget *MainWindow::fieldAtFault(const InstallRequest &request) const
{
    if (request.isLocal()
            ? !QFileInfo(request.localImage).isFile() || !cardImageProblem(request.localImage).isEmpty()
            : request.version.image.isEmpty())
        return request.isLocal() ? static_cast<QWidget *>(localImageField) : versionCombo;
    if (!romRefusal(request.romFile, QString()).isEmpty())
        return romField;
    if (request.useExt && !romRefusal(request.extFile, QString()).isEmpty())
        return extField;
    return drivePicker;
}
