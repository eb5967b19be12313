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

// How several chosen cards read in the list, briefly by their devices: "3 Karten (sdb, sdc, sdd)".
QString severalCardsText(const QList<DriveInfo> &drives, qint64 imageBytes);

// The list of cards, with a placeholder first. The chosen card's text keeps its size and device
// however narrow the list is. Where two or more cards are offered, the entry "Mehrere Karten …"
// comes last, and once several cards are chosen, an entry naming them comes before it.
class DriveCombo : public QComboBox
{
    Q_OBJECT

public:
    explicit DriveCombo(QWidget *parent = nullptr);

    // Lists the drives (with the placeholder for "none chosen" first), choosing none.
    void setDrives(const QList<DriveInfo> &drives);
    // The drives as last listed.
    QList<DriveInfo> listed() const { return drives; }
    // Chooses the listed cards with these paths: none, one, or several at once.
    void chooseCards(const QStringList &paths);
    // The chosen cards as listed, in the order listed; empty when none is chosen.
    QList<DriveInfo> chosenCards() const;
    // Whether the entry at index is the one that asks for several cards.
    bool isSeveralEntry(int index) const;
    qint64 imageSize() const { return imageBytes; }
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
    QList<DriveInfo> group;  // the several cards chosen at once, if any
    qint64 imageBytes = 0;
};
