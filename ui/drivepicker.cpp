// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivepicker.h"

#include "cardchoicedialog.h"
#include "drivecombo.h"
#include "drivewatcher.h"
#include "messages.h"
#include "namedwidgets.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace {

QStringList pathsOf(const QList<DriveInfo> &drives)
{
    QStringList paths;
    for (const DriveInfo &drive : drives)
        paths << drive.path;
    return paths;
}

} // namespace

DrivePicker::DrivePicker(QWidget *parent) : QGroupBox(QStringLiteral("3. Speicherkarte"), parent)
{
    setObjectName(QStringLiteral("drivePicker"));
    auto *grid = new QGridLayout(this);
    grid->setColumnStretch(1, 1);
    driveCombo = new DriveCombo;
    refreshButton = namedButton("refreshButton", QStringLiteral("Ak&tualisieren"),
                                QStringLiteral("Speicherkarten neu suchen"));
    driveHint = namedHint("driveHint");
    grid->addWidget(buddyLabel(QStringLiteral("&Speicherkarte:"), driveCombo), 0, 0);
    grid->addWidget(driveCombo, 0, 1);
    grid->addWidget(refreshButton, 0, 2);
    grid->addWidget(driveHint, 1, 1, 1, 2);
    setFocusProxy(driveCombo);
    watcher = new DriveWatcher(this);
    connect(refreshButton, &QPushButton::clicked, this, &DrivePicker::refreshOnRequest);
    connect(driveCombo, &QComboBox::currentIndexChanged, this, &DrivePicker::onEntryChanged);
    connect(watcher, &DriveWatcher::changed, this, &DrivePicker::onDrivesChanged);
}

QList<DriveInfo> DrivePicker::chosenCards() const
{
    return driveCombo->chosenCards();
}

void DrivePicker::setImageSize(qint64 bytes)
{
    driveCombo->setImageSize(bytes);
}

void DrivePicker::setBusy(bool b)
{
    busy = b;
    driveCombo->setEnabled(!b);
    refreshButton->setEnabled(!b);
    if (!b && changedWhileBusy)
        onDrivesChanged();
}

void DrivePicker::setHint(const QString &text)
{
    ::setHint(driveHint, text);
}

void DrivePicker::startWatching()
{
    watcher->start();
}

void DrivePicker::refresh()
{
    const QStringList remembered = pathsOf(chosenCards());
    QString error;
    const QList<DriveInfo> drives = listDrives(&error);
    // A failed listing says nothing about which cards came or went.
    const QList<DriveInfo> inserted = error.isEmpty() ? noteChanges(drives) : QList<DriveInfo>();
    fill(drives, error);
    if (choiceDialog)
        choiceDialog->setDrives(drives, driveCombo->imageSize());

    // A drive that is gone leaves the placeholder current, so the user has to choose again; of
    // several cards, those still there stay chosen. A single new card becomes the choice only when
    // none was chosen.
    if (remembered.isEmpty() && inserted.size() == 1)
        driveCombo->chooseCards({inserted.first().path});
    else if (!remembered.isEmpty())
        driveCombo->chooseCards(remembered);
}

void DrivePicker::fill(const QList<DriveInfo> &drives, const QString &error)
{
    driveCombo->setDrives(drives);
    if (drives.isEmpty())
        Q_EMIT logLine(error.isEmpty()
                           ? QStringLiteral("Keine Speicherkarte gefunden. Eine eingesteckte Karte "
                                            "wird von selbst erkannt.")
                           : error);
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

// A click says what the new search found, even where the list looks the same.
void DrivePicker::refreshOnRequest()
{
    refresh();
    const auto found = driveCombo->listed().size();
    showFeedback(refreshButton, found == 0   ? QStringLiteral("Keine Speicherkarte gefunden.")
                                : found == 1 ? QStringLiteral("1 Speicherkarte gefunden.")
                                             : QStringLiteral("%1 Speicherkarten gefunden.").arg(found));
}

// The entry for several cards opens their list once the list box has closed; meanwhile the box
// shows the choice so far.
void DrivePicker::onEntryChanged(int index)
{
    if (driveCombo->isSeveralEntry(index)) {
        QTimer::singleShot(0, this, &DrivePicker::chooseSeveral);
        return;
    }
    choice = pathsOf(chosenCards());
    Q_EMIT chosenChanged();
}

void DrivePicker::chooseSeveral()
{
    if (choiceDialog || !driveCombo->isSeveralEntry(driveCombo->currentIndex()))
        return;
    const QStringList before = choice;
    driveCombo->chooseCards(before);
    CardChoiceDialog dialog(this);
    choiceDialog = &dialog;
    dialog.setDrives(driveCombo->listed(), driveCombo->imageSize());
    dialog.setTicked(before);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    choiceDialog = nullptr;
    if (accepted)
        driveCombo->chooseCards(dialog.tickedPaths());
    driveCombo->setFocus();
}

void DrivePicker::onDrivesChanged()
{
    changedWhileBusy = busy;
    if (!busy)
        refresh();
}
