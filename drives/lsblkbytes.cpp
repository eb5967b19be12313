// SPDX-License-Identifier: GPL-3.0-or-later
#include "drives.h"

namespace {

constexpr char replacementCharacter[] = "\xEF\xBF\xBD";

// Length of the well-formed UTF-8 sequence that starts at data[at], or 0 when it is broken or cut off.
int utf8SequenceLength(const QByteArray &data, qsizetype at)
{
    const uchar lead = uchar(data[at]);
    int length = 0;
    uchar firstLow = 0x80;
    uchar firstHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            firstLow = 0xA0;
        else if (lead == 0xED)
            firstHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            firstLow = 0x90;
        else if (lead == 0xF4)
            firstHigh = 0x8F;
    } else {
        return 0;
    }
    if (at + length > data.size())
        return 0;
    for (int k = 1; k < length; ++k) {
        const uchar byte = uchar(data[at + k]);
        if (byte < (k == 1 ? firstLow : 0x80) || byte > (k == 1 ? firstHigh : 0xBF))
            return 0;
    }
    return length;
}

bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Handles the backslash at data[at]; returns how many input bytes were consumed.
qsizetype copyEscape(const QByteArray &data, qsizetype at, QByteArray &out)
{
    if (at + 1 >= data.size() || uchar(data[at + 1]) >= 0x80) {
        out += '\\';
        return 1;
    }
    if (data[at + 1] == 'x' && at + 3 < data.size() && isHexDigit(data[at + 2]) && isHexDigit(data[at + 3])) {
        out += "\\u00";
        out += data.mid(at + 2, 2);
        return 4;
    }
    out += data.mid(at, 2);
    return 2;
}

} // namespace

QByteArray sanitizeLsblkBytes(const QByteArray &raw)
{
    QByteArray out;
    out.reserve(raw.size() + raw.size() / 8);
    qsizetype at = 0;
    while (at < raw.size()) {
        const uchar byte = uchar(raw[at]);
        if (byte >= 0x80) {
            const int length = utf8SequenceLength(raw, at);
            if (length == 0) {
                out += replacementCharacter;
                ++at;
            } else {
                out += raw.mid(at, length);
                at += length;
            }
        } else if (byte == '\\') {
            at += copyEscape(raw, at, out);
        } else {
            const bool strayControl = byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r';
            out += strayControl ? ' ' : char(byte);
            ++at;
        }
    }
    return out;
}
