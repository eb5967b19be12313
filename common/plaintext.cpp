// SPDX-License-Identifier: GPL-3.0-or-later
#include "plaintext.h"

namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

bool isBidiFormat(char16_t c)
{
    return c == 0x061c || c == 0x200e || c == 0x200f || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

} // namespace

QString withoutControls(const QString &text, const QString &kept)
{
    QString plain;
    plain.reserve(text.size());
    for (const QChar c : text) {
        if ((!isControl(c.unicode()) && !isBidiFormat(c.unicode())) || kept.contains(c))
            plain += c;
    }
    return plain;
}
