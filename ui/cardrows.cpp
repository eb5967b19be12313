// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardrows.h"

#include "drivecombo.h"
#include "hintlabel.h"
#include "namedwidgets.h"

#include <QGridLayout>
#include <QProgressBar>
#include <algorithm>

namespace {

using Stage = Installation::CardReport::Stage;

constexpr int barSteps = 1000;
constexpr int barWidthChars = 12;

} // namespace

DriveLabel::DriveLabel(const DriveInfo &shown, QWidget *parent) : QLabel(parent), drive(shown)
{
    setTextFormat(Qt::PlainText); // names come from the device
    setToolTip(driveText(drive, 0));
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setText(driveText(drive, 0));
}

QSize DriveLabel::minimumSizeHint() const
{
    return QSize(fontMetrics().horizontalAdvance(driveText(drive, 0, fontMetrics(), 1)),
                 QLabel::minimumSizeHint().height());
}

void DriveLabel::resizeEvent(QResizeEvent *event)
{
    setText(driveText(drive, 0, fontMetrics(), width()));
    QLabel::resizeEvent(event);
}

CardRows::CardRows(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("cardRows"));
    grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setColumnStretch(0, 2);
    grid->setColumnStretch(1, 1);
    hide();
}

void CardRows::clear()
{
    for (Row &row : rows) {
        delete row.nameLabel;
        delete row.stateLabel;
        delete row.cardBar;
    }
    rows.clear();
}

void CardRows::start(const QList<DriveInfo> &cards)
{
    clear();
    setVisible(cards.size() > 1);
    if (cards.size() < 2)
        return;
    for (const DriveInfo &card : cards) {
        auto *nameLabel = named<DriveLabel>("nameLabel", card);
        // A reason may quote the helper, and is read in full on as many lines as it needs.
        auto *stateLabel = named<HintLabel>("stateLabel");
        stateLabel->setMinimumWidth(
            fontMetrics().horizontalAdvance(QStringLiteral("wird geschrieben · 99,9 MB/s")));
        auto *cardBar = named<QProgressBar>("cardBar");
        cardBar->setRange(0, barSteps);
        cardBar->setFormat(QStringLiteral("%p %"));
        cardBar->setAccessibleName(QStringLiteral("Fortschritt %1").arg(card.path));
        cardBar->setFixedWidth(fontMetrics().averageCharWidth() * barWidthChars);
        const int line = int(rows.size());
        grid->addWidget(nameLabel, line, 0);
        grid->addWidget(stateLabel, line, 1);
        grid->addWidget(cardBar, line, 2);
        rows.push_back({nameLabel, stateLabel, cardBar, Stage::Waiting, ProgressMeter()});
        Installation::CardReport waiting;
        waiting.drive = card;
        showReport(line, waiting);
    }
}

// The speed is measured within each stage: writing and reading back run at their own pace.
void CardRows::showReport(int index, const Installation::CardReport &report)
{
    if (index < 0 || index >= int(rows.size()))
        return;
    Row &row = rows.at(std::size_t(index));
    if (report.stage != row.stage)
        row.meter.start(QString());
    row.stage = report.stage;
    row.meter.update(report.done, report.total);
    const QString text = stateText(report, row.meter);
    row.stateLabel->setText(text);
    row.stateLabel->setToolTip(text);
    const bool moving = report.stage == Stage::Writing || report.stage == Stage::Verifying;
    if (report.stage == Stage::Verified)
        row.cardBar->setValue(barSteps);
    else if (moving && report.total > 0)
        row.cardBar->setValue(int(double(report.done) / double(report.total) * barSteps));
    else if (report.stage == Stage::Waiting)
        row.cardBar->setValue(0);
}

QString CardRows::stateText(const Installation::CardReport &report, const ProgressMeter &meter)
{
    const QString speed = meter.bytesPerSecond() > 0
                              ? QStringLiteral(" · %1").arg(speedText(meter.bytesPerSecond()))
                              : QString();
    switch (report.stage) {
    case Stage::Waiting:
        return QStringLiteral("wartet");
    case Stage::Writing:
        return QStringLiteral("wird geschrieben") + speed;
    case Stage::Verifying:
        return QStringLiteral("wird geprüft") + speed;
    case Stage::Verified:
        return QStringLiteral("geschrieben und geprüft");
    case Stage::Failed:
        break;
    }
    return QStringLiteral("Fehler: %1").arg(report.reason);
}

QString CardRows::tally() const
{
    if (rows.empty())
        return QString();
    const auto verified = std::count_if(rows.cbegin(), rows.cend(),
                                        [](const Row &row) { return row.stage == Stage::Verified; });
    return QStringLiteral("%1 von %2 Karten geschrieben und geprüft").arg(verified).arg(rows.size());
}
