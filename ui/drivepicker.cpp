// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivepicker.h"

#include "drivewatcher.h"
#include "namedwidgets.h"

#include <QComboBox>
#include <QGridLayout>
#include <QPushButton>

namespace {

enum Role
{
    PathRole = Qt::UserRole,
    SizeRole,
    DiskSequenceRole
};

} // namespace

DrivePicker::DrivePicker(QWidget *parent) : QGroupBox(QStringLiteral("3. Speicherkarte"), parent)
{
    setObjectName(QStringLiteral("drivePicker"));
    auto *grid = new QGridLayout(this);
    grid->setColumnStretch(1, 1);
    driveCombo = namedCombo("driveCombo");
    refreshButton = namedButton("refreshButton", QStringLiteral("Aktualisieren"),
                                QStringLiteral("Speicherkarten neu suchen"));
    grid->addWidget(buddyLabel(QStringLiteral("&Speicherkarte:"), driveCombo), 0, 0);
    grid->addWidget(driveCombo, 0, 1);
    grid->addWidget(refreshButton, 0, 2);
    watcher = new DriveWatcher(this);
    connect(refreshButton, &QPushButton::clicked, this, &DrivePicker::refresh);
    connect(watcher, &DriveWatcher::changed, this, &DrivePicker::onDrivesChanged);
}

DriveInfo DrivePicker::chosen() const
{
    DriveInfo drive;
    drive.path = driveCombo->currentData(PathRole).toString();
    drive.sizeBytes = driveCombo->currentData(SizeRole).toLongLong();
    drive.diskseq = driveCombo->currentData(DiskSequenceRole).toULongLong();
    drive.label = driveCombo->currentText();
    return drive;
}

void DrivePicker::setBusy(bool b)
{
    busy = b;
    driveCombo->setEnabled(!b);
    refreshButton->setEnabled(!b);
    if (!b && changedWhileBusy)
        onDrivesChanged();
}

void DrivePicker::startWatching()
{
    watcher->start();
}

void DrivePicker::refresh()
{
    const QString remembered = driveCombo->currentData(PathRole).toString();
    QString error;
    const QList<DriveInfo> drives = listDrives(&error);
    // A failed listing says nothing about which cards came or went.
    const QList<DriveInfo> inserted = error.isEmpty() ? noteChanges(drives) : QList<DriveInfo>();
    fill(drives, error);

    // A drive that is gone leaves the placeholder current, so the user has to choose again; a
    // single new card becomes the choice only when none was chosen.
    const QString choice = remembered.isEmpty() && inserted.size() == 1 ? inserted.first().path : remembered;
    const int index = choice.isEmpty() ? -1 : driveCombo->findData(choice, PathRole);
    if (index >= 0)
        driveCombo->setCurrentIndex(index);
}

void DrivePicker::fill(const QList<DriveInfo> &drives, const QString &error)
{
    driveCombo->clear();
    if (drives.isEmpty()) {
        driveCombo->addItem(QStringLiteral("(keine Speicherkarte gefunden)"), QString());
        Q_EMIT logLine(error.isEmpty()
                           ? QStringLiteral("Keine Speicherkarte gefunden. Eine eingesteckte Karte "
                                            "wird von selbst erkannt.")
                           : error);
        return;
    }
    driveCombo->addItem(QStringLiteral("– Bitte Speicherkarte auswählen –"), QString());
    for (const DriveInfo &drive : drives) {
        driveCombo->addItem(drive.label, drive.path);
        const int index = driveCombo->count() - 1;
        driveCombo->setItemData(index, QVariant::fromValue<qint64>(drive.sizeBytes), SizeRole);
        driveCombo->setItemData(index, QVariant::fromValue<quint64>(drive.diskseq), DiskSequenceRole);
    }
}

// Logs the cards that came and went since the last listing and returns those that came; the
// first listing only sets the baseline.
QList<DriveInfo> DrivePicker::noteChanges(const QList<DriveInfo> &drives)
{
    QMap<QString, QString> current;
    QList<DriveInfo> inserted;
    for (const DriveInfo &drive : drives) {
        current.insert(drive.path, drive.label);
        if (listed && knownDrives.value(drive.path) != drive.label)
            inserted.append(drive);
    }
    for (auto known = knownDrives.cbegin(); known != knownDrives.cend(); ++known)
        if (current.value(known.key()) != known.value())
            Q_EMIT logLine(QStringLiteral("Speicherkarte entfernt: %1").arg(known.value()));
    for (const DriveInfo &drive : inserted)
        Q_EMIT logLine(QStringLiteral("Speicherkarte erkannt: %1").arg(drive.label));
    knownDrives = current;
    listed = true;
    return inserted;
}

void DrivePicker::onDrivesChanged()
{
    changedWhileBusy = busy;
    if (!busy)
        refresh();
}
