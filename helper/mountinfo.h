// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <sys/types.h>

// One line of /proc/self/mountinfo: what the kernel says is mounted where.
struct MountEntry
{
    int id = 0;
    int parentId = 0;
    dev_t device = 0;      // major:minor of the mounted file system's device
    QByteArray mountPoint; // unescaped: may hold blanks, tabs, newlines and backslashes
};

// Reads "major:minor" as the kernel writes device numbers.
bool parseDeviceNumbers(const QByteArray &text, dev_t *device);

// The kernel writes blank, tab, newline and backslash in a path as \040, \011, \012 and \134.
QByteArray unescapeMountPath(const QByteArray &field);

// Reads the lines of mountinfo in their order; a line that does not have the kernel's form is
// skipped.
QList<MountEntry> parseMountInfo(const QByteArray &text);

// The paths of /proc/swaps (the first column), unescaped.
QList<QByteArray> parseSwapPaths(const QByteArray &text);
