// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

// The folder Installation::imageCache(): what it holds, emptying it, and the locks by which
// installers running at the same time leave each other's downloads alone.

// The lock a download into the cache holds on its partial file (a lock is its own lock).
QString lockOf(const QString &partPath);

// Whether another running installer holds the lock of a cache file (or is the lock); a lock left
// by a dead one goes. A download outlasts any age that would make its lock look stale: only a
// lock whose process is gone counts as left.
bool isLockedByOther(const QString &path);

// The total size of the regular files in the image cache; 0 when there is none. Links are not
// followed.
qint64 imageCacheBytes();

// Removes every file of the image cache but what another running installer is downloading; links
// go as links, never what they point to. True when that is done or there was no cache; on failure
// *error names the file that stays.
bool emptyImageCache(QString *error = nullptr);

// Empties the image cache as emptyImageCache() does and says for the log what was freed and what
// another running installer still holds. False when a file stays; *error then names it.
bool clearImageCache(QStringList *report, QString *error = nullptr);
