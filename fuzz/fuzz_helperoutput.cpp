// SPDX-License-Identifier: GPL-3.0-or-later
// The write helper's output reaches the window in pieces of any size. Cutting lines out piece
// by piece must give the same lines as reading everything at once, and no line may be misread.
#include "fuzzcheck.h"
#include "helperoutput.h"

#include <fuzzer/FuzzedDataProvider.h>

namespace {

// A card's line is "CARD <n> " and a line of the run's kind about that card.
QString withoutCard(const QString &line, const HelperLine &parsed)
{
    if (parsed.card == 0)
        return line;
    const QString prefix = QStringLiteral("CARD %1 ").arg(parsed.card);
    require(parsed.card > 0 && parsed.card <= 9999 && line.startsWith(prefix),
            "a card's number is its prefix");
    const HelperLine rest = parseHelperLine(line.mid(prefix.size()));
    require(rest.kind == parsed.kind && rest.card == 0 && rest.text == parsed.text,
            "a card's line is a run's line");
    return line.mid(prefix.size());
}

void checkLine(const QString &fullLine)
{
    require(!fullLine.isEmpty() && fullLine == fullLine.trimmed(), "lines are trimmed and not empty");
    require(!fullLine.contains(QLatin1Char('\n')), "a line holds no newline");
    const HelperLine parsed = parseHelperLine(fullLine);
    const QString line = withoutCard(fullLine, parsed);
    switch (parsed.kind) {
    case HelperLine::Done:
        require(line == QLatin1String("DONE"), "only DONE is read as done");
        break;
    case HelperLine::Error:
        require(line == QLatin1String("ERROR ") + parsed.text, "an error keeps its whole text");
        break;
    case HelperLine::Progress:
        require(!parsed.text.contains(QLatin1Char(' ')) &&
                    line.startsWith(QLatin1String("PROGRESS ") + parsed.text + QLatin1Char(' ')) &&
                    line.count(QLatin1Char(' ')) == 3,
                "progress has exactly four pieces and the phase is the second");
        break;
    case HelperLine::Ready:
        require(line == QLatin1String("READY"), "only READY is read as ready");
        break;
    case HelperLine::Writing:
        require(line == QLatin1String("WRITING"), "only WRITING is read as writing");
        break;
    case HelperLine::Ignored:
        require(line != QLatin1String("DONE") && !line.startsWith(QLatin1String("ERROR ")),
                "done and error lines are never ignored");
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    QByteArray buffer;
    QByteArray everything;
    QStringList lines;
    while (provider.remaining_bytes() > 0) {
        const std::vector<uint8_t> piece =
            provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegral<uint8_t>());
        const QByteArray bytes(reinterpret_cast<const char *>(piece.data()), qsizetype(piece.size()));
        buffer += bytes;
        everything += bytes;
        lines += takeHelperLines(&buffer);
        require(!buffer.contains('\n'), "only the unfinished line stays in the buffer");
    }
    require(takeHelperLines(&everything) == lines && everything == buffer,
            "reading in pieces gives the same lines as reading at once");
    for (const QString &line : lines)
        checkLine(line);
    return 0;
}
