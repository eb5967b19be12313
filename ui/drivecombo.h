// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QList>

// How a card reads in the list: name, size, device and the labels of its file systems, e.g.
// "Generic STORAGE DEVICE (15,9 GB) – /dev/sdb · „FOTOS“". A card smaller than a known image
// (imageBytes > 0) says so beside its size. Within width pixels (none: 0) the size and the device
// always show: the name gives way first, elided in the middle, then the labels.
QString driveText(const DriveInfo &drive, qint64 imageBytes,
                  const QFontMetrics &metrics = QFontMetrics(QFont()), int width = 0);

// The list of cards, with a placeholder first. The chosen card's text keeps its size and device
// however narrow the list is.
class DriveCombo : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveCombo(QWidget *parent = nullptr);

    // Lists the drives (with the placeholder for "none chosen" first), choosing none.
    void setDrives(const QList<DriveInfo> &drives);
    // The chosen drive as listed; an empty path when none is chosen.
    DriveInfo chosen() const;
    // Marks the cards smaller than an image of that many bytes (0: size unknown, none marked).
    void setImageSize(qint64 bytes);
    // The chosen entry's text as it is drawn at the list's present width.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void updateTexts();
    int textWidth() const;

    QList<DriveInfo> drives; // in the order of the items after the placeholder
    qint64 imageBytes = 0;
};
