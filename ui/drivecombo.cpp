// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivecombo.h"

#include "germannumber.h"
#include "installation.h"

#include <QFontMetrics>
#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace {

constexpr int minimumNameChars = 6;

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
    const bool tooSmall = imageBytes > 0 && drive.sizeBytes < imageBytes;
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

DriveCombo::DriveCombo(QWidget *parent) : QComboBox(parent)
{
    setObjectName(QStringLiteral("driveCombo"));
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    setMinimumContentsLength(20);
}

void DriveCombo::setDrives(const QList<DriveInfo> &listed)
{
    drives = listed;
    clear();
    addItem(drives.isEmpty() ? QStringLiteral("(keine Speicherkarte gefunden)")
                             : QStringLiteral("– Bitte Speicherkarte auswählen –"),
            QString());
    for (const DriveInfo &drive : drives) {
        addItem(QString(), drive.path);
        setItemData(count() - 1, QVariant::fromValue<qint64>(drive.sizeBytes), Qt::UserRole + 1);
    }
    updateTexts();
}

DriveInfo DriveCombo::chosen() const
{
    const int index = currentIndex() - 1;
    return index >= 0 && index < drives.size() ? drives.at(index) : DriveInfo();
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
        const bool tooSmall = imageBytes > 0 && drive.sizeBytes < imageBytes;
        setItemData(i + 1, tooSmall ? cardTooSmallText(imageBytes, drive.sizeBytes) : QString(),
                    Qt::ToolTipRole);
    }
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
    const int index = currentIndex() - 1;
    if (index < 0 || index >= drives.size())
        return currentText();
    return driveText(drives.at(index), imageBytes, fontMetrics(), textWidth());
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
