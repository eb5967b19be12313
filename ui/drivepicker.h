// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QGroupBox>
#include <QMap>
#include <QString>

class DriveWatcher;
class QComboBox;
class QPushButton;

// The card choice: the removable disks as lsblk lists them, listed afresh when the kernel's
// set of disks changes or the user asks. Logs the cards that come and go; a single new card
// becomes the choice when none was chosen.
class DrivePicker : public QGroupBox
{
    Q_OBJECT

public:
    explicit DrivePicker(QWidget *parent = nullptr);

    // The chosen disk as it was listed; an empty path when none is chosen.
    DriveInfo chosen() const;
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

private:
    void fill(const QList<DriveInfo> &drives, const QString &error);
    QList<DriveInfo> noteChanges(const QList<DriveInfo> &drives);
    void onDrivesChanged();

    QComboBox *driveCombo = nullptr;
    QPushButton *refreshButton = nullptr;
    DriveWatcher *watcher = nullptr;
    QMap<QString, QString> knownDrives; // path to label, as last listed
    bool listed = false;
    bool busy = false;
    bool changedWhileBusy = false;
};
