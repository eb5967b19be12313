// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Sets *error to text if the caller wants it; always false, so a failing function can return it.
inline bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}
