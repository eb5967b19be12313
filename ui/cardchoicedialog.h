// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QDialog>
#include <QList>
#include <QStringList>

class QDialogButtonBox;
class QLabel;
class QListWidget;

// The offered cards with a check box each, to write one version onto several cards at once. The
// list follows cards that come and go while it is open; a card keeps its tick while it stays
// the same disk under its name.
class CardChoiceDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CardChoiceDialog(QWidget *parent = nullptr);

    // Lists the drives, marking those too small for an image of imageBytes (0: size unknown).
    void setDrives(const QList<DriveInfo> &drives, qint64 imageBytes);
    // Ticks the listed cards with these paths and no others.
    void setTicked(const QStringList &paths);
    // The ticked cards' paths, in the order listed.
    QStringList tickedPaths() const;

private:
    QLabel *introLabel = nullptr;
    QListWidget *cardList = nullptr;
    QDialogButtonBox *buttonBox = nullptr;
    QList<DriveInfo> listed; // in the order of the list's rows
};
