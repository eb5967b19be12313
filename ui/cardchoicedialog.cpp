// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardchoicedialog.h"

#include "drivecombo.h"
#include "filechecks.h"
#include "mainwindow.h"
#include "namedwidgets.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

bool sameDisk(const DriveInfo &a, const DriveInfo &b)
{
    return a.path == b.path && a.identity() == b.identity();
}

} // namespace

CardChoiceDialog::CardChoiceDialog(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("cardChoiceDialog"));
    setWindowTitle(QStringLiteral("Mehrere Karten – %1").arg(windowName));
    auto *rows = new QVBoxLayout(this);
    introLabel = named<QLabel>("introLabel", QStringLiteral("&Dieselbe Version auf diese Karten schreiben:"));
    cardList = named<QListWidget>("cardList");
    cardList->setAccessibleName(QStringLiteral("Speicherkarten"));
    cardList->setMinimumWidth(cardList->fontMetrics().averageCharWidth() * 60);
    introLabel->setBuddy(cardList);
    buttonBox = named<QDialogButtonBox>("buttonBox", QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttonBox->button(QDialogButtonBox::Ok)->setText(QStringLiteral("&Übernehmen"));
    buttonBox->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Abbre&chen"));
    rows->addWidget(introLabel);
    rows->addWidget(cardList);
    rows->addWidget(buttonBox);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void CardChoiceDialog::setDrives(const QList<DriveInfo> &drives, qint64 imageBytes)
{
    QStringList ticked;
    for (const DriveInfo &drive : drives)
        for (int row = 0; row < listed.size(); ++row)
            if (sameDisk(drive, listed.at(row)) && cardList->item(row)->checkState() == Qt::Checked)
                ticked << drive.path;
    listed = drives;
    cardList->clear();
    for (const DriveInfo &drive : drives) {
        auto *item = new QListWidgetItem(driveText(drive, imageBytes), cardList);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Unchecked);
        item->setToolTip(tooSmallText(drive, imageBytes));
    }
    if (drives.isEmpty())
        new QListWidgetItem(QStringLiteral("(keine Speicherkarte gefunden)"), cardList);
    setTicked(ticked);
}

void CardChoiceDialog::setTicked(const QStringList &paths)
{
    for (int row = 0; row < listed.size(); ++row)
        cardList->item(row)->setCheckState(paths.contains(listed.at(row).path) ? Qt::Checked : Qt::Unchecked);
}

QStringList CardChoiceDialog::tickedPaths() const
{
    QStringList paths;
    for (int row = 0; row < listed.size(); ++row)
        if (cardList->item(row)->checkState() == Qt::Checked)
            paths << listed.at(row).path;
    return paths;
}
