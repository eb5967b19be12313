// SPDX-License-Identifier: GPL-3.0-or-later
#include "logview.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QTime>

namespace {

const int maxLogLines = 500;

} // namespace

LogView::LogView(QWidget *parent) : QPlainTextEdit(parent)
{
    setObjectName(QStringLiteral("logView"));
    setAccessibleName(QStringLiteral("Protokoll"));
    setReadOnly(true);
    setMaximumBlockCount(maxLogLines);
    setMinimumHeight(110);
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
