// SPDX-License-Identifier: GPL-3.0-or-later
// The write helper unmounts what /proc/self/mountinfo names for the card, and mount points are
// chosen by whoever mounts a card (a label turned into a folder name). Reading must survive any
// bytes and give only absolute mount points.
#include "fuzzcheck.h"
#include "mountinfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray text = inputBytes(data, size);
    for (const MountEntry &entry : parseMountInfo(text))
        require(entry.mountPoint.startsWith('/'), "every mount point is absolute");
    for (const QByteArray &path : parseSwapPaths(text))
        require(path.startsWith('/'), "every swap path is absolute");
    const QByteArray unescaped = unescapeMountPath(text);
    require(unescaped.size() <= text.size(), "unescaping never lengthens a path");
    require(text.contains('\\') || unescaped == text, "a path without a backslash stays as it is");
    return 0;
}
