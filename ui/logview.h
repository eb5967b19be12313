// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPlainTextEdit>
#include <QString>

// The window's log: time-stamped lines with every address hidden, the last 500 kept.
class LogView : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit LogView(QWidget *parent = nullptr);
    QSize sizeHint() const override; // room for eight lines

    // Appends one line stamped with the time of day, every address replaced by "[Adresse]".
    void appendLine(const QString &text);
    // Puts the log into the clipboard as it is shown, addresses hidden.
    void copyToClipboard() const;

    // The text with every http, https or ftp address, in any letter case, replaced by "[Adresse]".
    static QString redactAddresses(const QString &text);

private:
    int heightFor(int lines) const;
};
