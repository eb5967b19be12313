// SPDX-License-Identifier: GPL-3.0-or-later
#include "sourcetap.h"

#include <QElapsedTimer>

bool SourceTap::next(QByteArrayView *piece)
{
    QElapsedTimer clock;
    clock.start();
    const bool ok = source.next(piece);
    waited += clock.elapsed();
    if (ok) {
        hash.addData(piece->data(), piece->size());
        taken += piece->size();
    }
    return ok;
}
