#pragma once

#include <QString>
#include <QtGlobal>

// The folder Installation::imageCache() as the user sees it: how much it holds, and emptying it.

// The total size of the regular files in the image cache; 0 when there is none. Links are not
// followed.
qint64 imageCacheBytes();

// Removes every file of the image cache, links as links (never what they point to). True when
// nothing is left or there was no cache; on failure *error names the file that stays.
bool emptyImageCache(QString *error = nullptr);
