// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QGroupBox>
#include <QMap>
#include <QString>

class CardChoiceDialog;
class DriveCombo;
class DriveWatcher;
class QLabel;
class QPushButton;

// The card choice: the removable disks as lsblk lists them, listed afresh when the kernel's
// set of disks changes or the user asks. Logs the cards that come and go; a single new card
// becomes the choice when none was chosen. Several cards are chosen in a list of their own, which
// follows the cards that come and go as well.
class DrivePicker : public QGroupBox
{
    Q_OBJECT

public:
    explicit DrivePicker(QWidget *parent = nullptr);

    // The chosen cards as they were listed: one for the usual single choice, none when none is
    // chosen.
    QList<DriveInfo> chosenCards() const;
    // Marks the cards too small for an image of that many bytes (0: unknown).
    void setImageSize(qint64 bytes);
    // Shows text below the list; an empty text hides the hint.
    void setHint(const QString &text);
    // While busy the choice is locked and not listed afresh: the card being written changes its
    // partitions, and the choice must not move under a running job. Changes seen meanwhile are
    // caught up when idle again.
    void setBusy(bool busy);

    // Lists the drives again (blocking while lsblk runs), keeping the choice where it still exists.
    void refresh();
    // Watches the kernel's set of disks from now on.
    void startWatching();

Q_SIGNALS:
    void logLine(const QString &text);
    void chosenChanged();

private:
    void fill(const QList<DriveInfo> &drives, const QString &error);
    QList<DriveInfo> noteChanges(const QList<DriveInfo> &drives);
    void onDrivesChanged();
    void refreshOnRequest();
    void onEntryChanged(int index);
    void chooseSeveral();

    DriveCombo *driveCombo = nullptr;
    QPushButton *refreshButton = nullptr;
    QLabel *driveHint = nullptr;
    DriveWatcher *watcher = nullptr;
    CardChoiceDialog *choiceDialog = nullptr; // while it is open
    QStringList choice;                       // the chosen cards' paths
    QMap<QString, QString> knownDrives;       // path to label, as last listed
    bool listed = false;
    bool busy = false;
    bool changedWhileBusy = false;
};
