// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "installation.h"
#include "progressmeter.h"

#include <QLabel>
#include <QList>
#include <QWidget>
#include <vector>

class QGridLayout;
class QProgressBar;

// A card's name, size and device in a label of any width: the name gives way first.
class DriveLabel : public QLabel
{
    Q_OBJECT

public:
    explicit DriveLabel(const DriveInfo &drive, QWidget *parent = nullptr);
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    DriveInfo drive;
};

// During and after a run onto several cards, a row for each: the card, what it is doing or what
// became of it, its speed and a small bar. Hidden for a single card, whose run the window's own
// bar shows.
class CardRows : public QWidget
{
    Q_OBJECT

public:
    explicit CardRows(QWidget *parent = nullptr);

    // A row for each card, waiting; hidden with fewer than two cards.
    void start(const QList<DriveInfo> &cards);
    // Shows what the run reports of the card at index.
    void showReport(int index, const Installation::CardReport &report);
    // "2 von 3 Karten geschrieben und geprüft", as the rows show it; empty without rows.
    QString tally() const;

private:
    struct Row
    {
        DriveLabel *nameLabel;
        QLabel *stateLabel;
        QProgressBar *cardBar;
        Installation::CardReport::Stage stage;
        ProgressMeter meter;
    };

    void clear();
    static QString stateText(const Installation::CardReport &report, const ProgressMeter &meter);

    QGridLayout *grid = nullptr;
    std::vector<Row> rows;
};
