// SPDX-License-Identifier: GPL-3.0-or-later
#include "messages.h"

#include "mainwindow.h"

#include <QPushButton>

void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &text)
{
    QMessageBox box(icon, windowName, text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
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
