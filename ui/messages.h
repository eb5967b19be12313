// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QMessageBox>
#include <QString>

// The window's message boxes. Their texts often carry outside text (version titles, file names
// inside archives, server messages), so they are always shown as plain text, never as markup.

// Shows text with the window's name as title and an OK button; returns when it is closed.
void showMessage(QWidget *parent, QMessageBox::Icon icon, const QString &text);

// Asks a question whose two buttons say what they do; the second is the default and the answer to
// Escape. Only the first gives true.
bool askChoice(QWidget *parent, QMessageBox::Icon icon, const QString &text, const QString &accept,
               const QString &reject);

// A Yes/No question with No as default; only Yes gives true.
bool askYesNo(QWidget *parent, QMessageBox::Icon icon, const QString &text);
