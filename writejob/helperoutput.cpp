// SPDX-License-Identifier: GPL-3.0-or-later
#include "helperoutput.h"

#include <QRegularExpression>

QStringList takeHelperLines(QByteArray *buffer)
{
    QStringList lines;
    qsizetype begin = 0;
    qsizetype newline;
    while ((newline = buffer->indexOf('\n', begin)) >= 0) {
        const QString line = QString::fromUtf8(buffer->constData() + begin, newline - begin).trimmed();
        if (!line.isEmpty())
            lines.append(line);
        begin = newline + 1;
    }
    buffer->remove(0, begin);
    return lines;
}

namespace {

HelperLine parseRunLine(const QString &line)
{
    static const QString errorPrefix = QStringLiteral("ERROR ");
    HelperLine parsed;
    if (line == QLatin1String("DONE")) {
        parsed.kind = HelperLine::Done;
    } else if (line == QLatin1String("READY")) {
        parsed.kind = HelperLine::Ready;
    } else if (line == QLatin1String("WRITING")) {
        parsed.kind = HelperLine::Writing;
    } else if (line.startsWith(errorPrefix)) {
        parsed.kind = HelperLine::Error;
        parsed.text = line.mid(errorPrefix.size());
    } else if (line.startsWith(QLatin1String("PROGRESS "))) {
        const QStringList pieces = line.split(QLatin1Char(' '));
        if (pieces.size() == 4) {
            parsed.kind = HelperLine::Progress;
            parsed.text = pieces.at(1);
            parsed.done = pieces.at(2).toLongLong();
            parsed.total = pieces.at(3).toLongLong();
        }
    }
    return parsed;
}

// "CARD <n> <line>": the card's number, then a line of the one-card form.
HelperLine parseCardLine(const QString &line)
{
    static const QRegularExpression cardPrefix(QStringLiteral("^CARD ([1-9][0-9]{0,3}) "));
    const QRegularExpressionMatch match = cardPrefix.match(line);
    if (!match.hasMatch())
        return HelperLine();
    HelperLine parsed = parseRunLine(line.mid(match.capturedLength()));
    parsed.card = parsed.kind == HelperLine::Ignored ? 0 : match.captured(1).toInt();
    return parsed;
}

} // namespace

HelperLine parseHelperLine(const QString &line)
{
    return line.startsWith(QLatin1String("CARD ")) ? parseCardLine(line) : parseRunLine(line);
}
