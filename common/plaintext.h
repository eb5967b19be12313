// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Outside text (a version list, a server's answer, a file name) made harmless for a terminal and
// for one line of a field: the C0 and C1 control characters and DEL go, and so do the bidi
// embeddings, overrides, isolates and marks, which would reorder what follows them. The
// characters in kept stay (such as "\n\t" for a terminal's lines and columns).
QString withoutControls(const QString &text, const QString &kept = QString());
