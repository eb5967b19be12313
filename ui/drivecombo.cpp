// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivecombo.h"

#include "filechecks.h"
#include "germannumber.h"

#include <QFontMetrics>
#include <QSignalBlocker>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace {

constexpr int minimumNameChars = 6;

// What an entry after the placeholder stands for, besides a drive.
constexpr int EntryRole = Qt::UserRole + 2;
const QString groupEntry = QStringLiteral("group");
const QString severalEntry = QStringLiteral("several");

QString quotedLabels(const QStringList &labels)
{
    QStringList quoted;
    for (const QString &label : labels)
        quoted << QStringLiteral("„%1“").arg(label);
    return quoted.join(QStringLiteral(", "));
}

} // namespace

QString driveText(const DriveInfo &drive, qint64 imageBytes, const QFontMetrics &metrics, int width)
{
    const bool tooSmall = isTooSmallFor(drive, imageBytes);
    const QString name = drive.name.isEmpty() ? drive.label : drive.name;
    const QString sizeAndPath = QStringLiteral(" (%1%2) – %3")
                                    .arg(germanSize(drive.sizeBytes),
                                         tooSmall ? QStringLiteral(", zu klein") : QString(), drive.path);
    QString labels = drive.fileSystemLabels.isEmpty()
                         ? QString()
                         : QStringLiteral(" · ") + quotedLabels(drive.fileSystemLabels);
    const QString full = name + sizeAndPath + labels;
    if (width <= 0 || metrics.horizontalAdvance(full) <= width)
        return full;
    const int fixed = metrics.horizontalAdvance(sizeAndPath);
    const int shortestName = metrics.horizontalAdvance(name.left(minimumNameChars) + QStringLiteral("…"));
    const int nameWidth = qMax(shortestName, width - fixed - metrics.horizontalAdvance(labels));
    const QString shownName = metrics.elidedText(name, Qt::ElideMiddle, nameWidth);
    if (!labels.isEmpty())
        labels = metrics.elidedText(labels, Qt::ElideRight,
                                    qMax(0, width - fixed - metrics.horizontalAdvance(shownName)));
    return shownName + sizeAndPath + labels;
}

QString severalCardsText(const QList<DriveInfo> &drives, qint64 imageBytes)
{
    QStringList names;
    for (const DriveInfo &drive : drives)
        names << drive.path.section(QLatin1Char('/'), -1) +
                     (isTooSmallFor(drive, imageBytes) ? QStringLiteral(" zu klein") : QString());
    return QStringLiteral("%1 Karten (%2)").arg(drives.size()).arg(names.join(QStringLiteral(", ")));
}

DriveCombo::DriveCombo(QWidget *parent) : QComboBox(parent)
{
    setObjectName(QStringLiteral("driveCombo"));
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(20);
}

void DriveCombo::setDrives(const QList<DriveInfo> &listed)
{
    drives = listed;
    group.clear();
    clear();
    addItem(drives.isEmpty() ? QStringLiteral("(keine Speicherkarte gefunden)")
                             : QStringLiteral("– Bitte Speicherkarte auswählen –"),
            QString());
    for (const DriveInfo &drive : drives) {
        addItem(QString(), drive.path);
        setItemData(count() - 1, QVariant::fromValue<qint64>(drive.sizeBytes), Qt::UserRole + 1);
    }
    if (drives.size() >= 2) {
        addItem(QStringLiteral("Mehrere Karten …"), QString());
        setItemData(count() - 1, severalEntry, EntryRole);
    }
    updateTexts();
}

// Several cards get an entry of their own after the drives, so that the list reads what is chosen.
void DriveCombo::chooseCards(const QStringList &paths)
{
    QList<DriveInfo> cards;
    for (const DriveInfo &drive : drives)
        if (paths.contains(drive.path))
            cards << drive;
    const int groupIndex = int(drives.size()) + 1;
    {
        // Taking the old entry out would make a neighbour current for a moment.
        const QSignalBlocker quiet(this);
        if (!group.isEmpty())
            removeItem(groupIndex);
        group = cards.size() >= 2 ? cards : QList<DriveInfo>();
        if (!group.isEmpty()) {
            insertItem(groupIndex, QString(), QString());
            setItemData(groupIndex, groupEntry, EntryRole);
            updateTexts();
        }
        setCurrentIndex(!group.isEmpty() ? groupIndex : cards.isEmpty() ? 0 : findData(cards.first().path));
    }
    Q_EMIT currentIndexChanged(currentIndex());
}

QList<DriveInfo> DriveCombo::chosenCards() const
{
    const int index = currentIndex();
    if (itemData(index, EntryRole).toString() == groupEntry)
        return group;
    return index >= 1 && index <= drives.size() ? QList<DriveInfo>{drives.at(index - 1)} : QList<DriveInfo>();
}

bool DriveCombo::isSeveralEntry(int index) const
{
    return itemData(index, EntryRole).toString() == severalEntry;
}

void DriveCombo::setImageSize(qint64 bytes)
{
    imageBytes = bytes;
    updateTexts();
}

// A card too small for the image carries the reason as its tool tip as well.
void DriveCombo::updateTexts()
{
    for (int i = 0; i < drives.size(); ++i) {
        const DriveInfo &drive = drives.at(i);
        setItemText(i + 1, driveText(drive, imageBytes));
        setItemData(i + 1, tooSmallText(drive, imageBytes), Qt::ToolTipRole);
    }
    if (group.isEmpty())
        return;
    QStringList lines;
    for (const DriveInfo &drive : group)
        lines << driveText(drive, imageBytes);
    setItemText(int(drives.size()) + 1, severalCardsText(group, imageBytes));
    setItemData(int(drives.size()) + 1, lines.join(QLatin1Char('\n')), Qt::ToolTipRole);
}

int DriveCombo::textWidth() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    return field.width() - 4; // the label's own margin
}

QString DriveCombo::shownText() const
{
    const QList<DriveInfo> cards = chosenCards();
    if (cards.size() > 1)
        return fontMetrics().elidedText(currentText(), Qt::ElideRight, textWidth());
    if (cards.isEmpty())
        return currentText();
    return driveText(cards.first(), imageBytes, fontMetrics(), textWidth());
}

void DriveCombo::paintEvent(QPaintEvent *)
{
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    option.currentText = shownText();
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}
