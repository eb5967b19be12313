// SPDX-License-Identifier: GPL-3.0-or-later
// The write helper's command line comes from an unprivileged caller into a root process, and the
// password prompt shows it. Whatever is accepted must be exactly what a reader of the prompt sees:
// written out again it reads the same, and it keeps every bound.
#include "fuzzcheck.h"
#include "helperarguments.h"

#include <QSet>

namespace {

void appendIdentity(QList<QByteArray> *arguments, const DriveIdentity &identity)
{
    if (identity.diskseq != 0)
        *arguments << "--diskseq=" + QByteArray::number(identity.diskseq);
    if (identity.sizeBytes != 0)
        *arguments << "--size=" + QByteArray::number(identity.sizeBytes);
}

// The command line that says what was read, in the order the forms give.
QList<QByteArray> writtenOut(const HelperArguments &parsed)
{
    QList<QByteArray> arguments{"program", "--write-helper"};
    const QByteArray verify = parsed.verify ? "--verify" : "--no-verify";
    const QByteArray imageSize = "--image-size=" + QByteArray::number(parsed.imageSize);
    if (parsed.severalCards) {
        arguments << severalCardsArgument << verify;
        if (parsed.imageSize > 0)
            arguments << imageSize;
        for (const HelperCard &card : parsed.cards) {
            arguments << "--card" << card.devicePath.toUtf8();
            appendIdentity(&arguments, card.identity);
        }
        return arguments;
    }
    arguments << (parsed.fromStandardInput ? QByteArray(standardInputArgument) : parsed.imagePath.toUtf8())
              << parsed.devicePath.toUtf8() << verify;
    appendIdentity(&arguments, parsed.identity);
    if (parsed.imageSize > 0)
        arguments << imageSize;
    return arguments;
}

void checkBounds(const HelperArguments &parsed)
{
    require(!parsed.severalCards || parsed.fromStandardInput, "the several-card form reads standard input");
    require(parsed.severalCards != parsed.cards.isEmpty(), "cards only and always in the several-card form");
    require(parsed.cards.size() <= maxHelperCards, "at most the bound of cards");
    QSet<QString> paths;
    for (const HelperCard &card : parsed.cards) {
        require(card.devicePath.startsWith(QLatin1Char('/')), "a card's path is absolute");
        require(!paths.contains(card.devicePath), "each card at most once");
        paths.insert(card.devicePath);
        require(card.identity.sizeBytes >= 0, "a size is never negative");
    }
    require(parsed.imageSize == -1 || parsed.imageSize > 0, "an image size is given or -1");
    require(parsed.fromStandardInput || parsed.imageSize == -1, "no image size in the file form");
}

} // namespace

// The input is the arguments after the program, each ended by a zero byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QList<QByteArray> arguments{"program"};
    arguments += inputBytes(data, size).split('\0');
    HelperArguments parsed;
    if (!parseHelperArguments(arguments, &parsed))
        return 0;
    checkBounds(parsed);
    const QList<QByteArray> again = writtenOut(parsed);
    HelperArguments reparsed;
    require(parseHelperArguments(again, &reparsed) && writtenOut(reparsed) == again,
            "what was read, written out, reads the same");
    return 0;
}
