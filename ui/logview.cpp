// SPDX-License-Identifier: GPL-3.0-or-later
#include "logview.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTextDocument>
#include <QTime>

namespace {

constexpr int maxLogLines = 500;

} // namespace

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent)
{
    setObjectName(QStringLiteral("logView"));
    setAccessibleName(QStringLiteral("Protokoll"));
    setReadOnly(true);
    setMaximumBlockCount(maxLogLines);
    // Four lines: the first part of the window to give way on a small screen.
    setMinimumHeight(heightFor(4));
}

QSize LogView::sizeHint() const
{
    return {QPlainTextEdit::sizeHint().width(), heightFor(8)};
}

int LogView::heightFor(int lines) const
{
    return lines * fontMetrics().lineSpacing() + 2 * frameWidth() + 2 * int(document()->documentMargin());
}

void LogView::appendLine(const QString &text)
{
    const QString stamp = QTime::currentTime().toString(QStringLiteral("HH:mm:ss "));
    appendPlainText(stamp + redactAddresses(text));
}

void LogView::copyToClipboard() const
{
    QGuiApplication::clipboard()->setText(toPlainText() + QLatin1Char('\n'));
}

QString LogView::redactAddresses(const QString &text)
{
    static const QRegularExpression address(QStringLiteral("(?:https?|ftp)://[^\\s\"'<>)]+"),
                                            QRegularExpression::UseUnicodePropertiesOption |
                                                QRegularExpression::CaseInsensitiveOption);
    QString redacted = text;
    return redacted.replace(address, QStringLiteral("[Adresse]"));
}
