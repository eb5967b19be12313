// SPDX-License-Identifier: GPL-3.0-or-later
#include "messages.h"

#include "mainwindow.h"

#include <QPushButton>
#include <QToolTip>

void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, windowName, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

bool askChoice(QWidget *parent, QMessageBox::Icon icon, const QString &text, const QString &accept,
               const QString &reject)
{
    QMessageBox box(icon, windowName, text, QMessageBox::Yes | QMessageBox::No, parent);
    box.setTextFormat(Qt::PlainText);
    box.button(QMessageBox::Yes)->setText(accept);
    box.button(QMessageBox::No)->setText(reject);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

bool askYesNo(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    return askChoice(parent, icon, text, QStringLiteral("&Ja"), QStringLiteral("&Nein"));
}

void showFeedback(QWidget *anchor, const QString &text)
{
    const int shownMs = 3000;
    QToolTip::showText(anchor->mapToGlobal(QPoint(0, anchor->height())), text, anchor, QRect(), shownMs);
}
