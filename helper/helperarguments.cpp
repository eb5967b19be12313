// SPDX-License-Identifier: GPL-3.0-or-later
#include "helperarguments.h"

#include <QRegularExpression>
#include <limits>

const char standardInputArgument[] = "--stdin";
const char severalCardsArgument[] = "--stdin-cards";

namespace {

constexpr int firstOption = 5;

// A positive decimal number that fits a qint64, written plainly (no sign, blank or leading zero).
bool parsePositive(const QByteArray &text, quint64 *value)
{
    static const QRegularExpression plainNumber(QStringLiteral("^[1-9][0-9]{0,18}$"));
    if (!plainNumber.match(QString::fromLatin1(text)).hasMatch())
        return false;
    *value = text.toULongLong();
    return *value <= quint64(std::numeric_limits<qint64>::max());
}

// C0 and C1 controls, DEL, line and paragraph separators, and the marks, embeddings, overrides
// and isolates that reorder text on screen.
bool isHiddenFormatting(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// A path the prompt shows as it is used: UTF-8 (so it decodes to exactly these bytes), not empty,
// without hidden formatting.
bool readPath(const QByteArray &bytes, QString *path)
{
    const QString text = QString::fromUtf8(bytes);
    if (bytes.isEmpty() || text.toUtf8() != bytes)
        return false;
    for (const char32_t c : text.toUcs4())
        if (isHiddenFormatting(c))
            return false;
    *path = text;
    return true;
}

// One "--name=N" option: true if the argument is this option and was read; *known tells whether
// the argument was this option at all.
bool readOption(const QByteArray &argument, const char *prefix, quint64 *value, bool *known)
{
    if (!argument.startsWith(prefix))
        return true;
    *known = true;
    return *value == 0 && parsePositive(argument.mid(qsizetype(qstrlen(prefix))), value);
}

// Reads the identity options from the argument at *next on, up to the end or the next "--card";
// *next is left at that point.
bool readIdentity(const QList<QByteArray> &arguments, qsizetype *next, DriveIdentity *identity)
{
    quint64 diskseq = 0;
    quint64 size = 0;
    for (; *next < arguments.size() && arguments.at(*next) != "--card"; ++*next) {
        const QByteArray &argument = arguments.at(*next);
        bool known = false;
        if (!readOption(argument, "--diskseq=", &diskseq, &known) ||
            !readOption(argument, "--size=", &size, &known) || !known)
            return false;
    }
    identity->diskseq = diskseq;
    identity->sizeBytes = qint64(size);
    return true;
}

// The cards of the several-card form, from the first "--card" on.
bool readCards(const QList<QByteArray> &arguments, qsizetype next, QList<HelperCard> *cards)
{
    while (next < arguments.size()) {
        HelperCard card;
        // An absolute path, so that no option can pass for a card in the prompt.
        if (cards->size() == maxHelperCards || arguments.at(next) != "--card" ||
            next + 1 == arguments.size() || !arguments.at(next + 1).startsWith('/') ||
            !readPath(arguments.at(next + 1), &card.devicePath))
            return false;
        for (const HelperCard &earlier : std::as_const(*cards))
            if (earlier.devicePath == card.devicePath)
                return false;
        next += 2;
        if (!readIdentity(arguments, &next, &card.identity))
            return false;
        cards->append(card);
    }
    return !cards->isEmpty();
}

bool parseSeveralCards(const QList<QByteArray> &arguments, HelperArguments *parsed)
{
    quint64 imageSize = 0;
    qsizetype next = 4;
    if (next < arguments.size() && arguments.at(next).startsWith("--image-size=")) {
        bool known = false;
        if (!readOption(arguments.at(next), "--image-size=", &imageSize, &known))
            return false;
        ++next;
    }
    HelperArguments result;
    result.fromStandardInput = true;
    result.severalCards = true;
    result.verify = arguments.at(3) == "--verify";
    result.imageSize = imageSize == 0 ? -1 : qint64(imageSize);
    if ((arguments.at(3) != "--verify" && arguments.at(3) != "--no-verify") ||
        !readCards(arguments, next, &result.cards))
        return false;
    *parsed = result;
    return true;
}

bool readOptions(const QList<QByteArray> &arguments, HelperArguments *parsed)
{
    quint64 diskseq = 0;
    quint64 size = 0;
    quint64 imageSize = 0;
    for (qsizetype i = firstOption; i < arguments.size(); ++i) {
        const QByteArray &argument = arguments.at(i);
        bool known = false;
        if (!readOption(argument, "--diskseq=", &diskseq, &known) ||
            !readOption(argument, "--size=", &size, &known) ||
            (parsed->fromStandardInput && !readOption(argument, "--image-size=", &imageSize, &known)) ||
            !known)
            return false;
    }
    parsed->identity.diskseq = diskseq;
    parsed->identity.sizeBytes = qint64(size);
    parsed->imageSize = imageSize == 0 ? -1 : qint64(imageSize);
    return true;
}

} // namespace

bool parseHelperArguments(const QList<QByteArray> &arguments, HelperArguments *parsed)
{
    if (arguments.size() < firstOption || arguments.at(1) != "--write-helper")
        return false;
    if (arguments.at(2) == severalCardsArgument)
        return parseSeveralCards(arguments, parsed);
    HelperArguments result;
    result.fromStandardInput = arguments.at(2) == standardInputArgument;
    const QByteArray &verifyFlag = arguments.at(4);
    if ((!result.fromStandardInput && !readPath(arguments.at(2), &result.imagePath)) ||
        !readPath(arguments.at(3), &result.devicePath) ||
        (verifyFlag != "--verify" && verifyFlag != "--no-verify") || !readOptions(arguments, &result))
        return false;
    result.verify = verifyFlag == "--verify";
    *parsed = result;
    return true;
}
