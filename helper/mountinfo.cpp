// SPDX-License-Identifier: GPL-3.0-or-later
#include "mountinfo.h"

#include <sys/sysmacros.h>

namespace {

bool isOctalDigit(char c)
{
    return c >= '0' && c <= '7';
}

// A backslash and three octal digits, the first at most 3 so that the value fits a byte.
bool isEscape(const QByteArray &field, qsizetype i)
{
    return field.at(i) == '\\' && i + 3 < field.size() && field.at(i + 1) >= '0' && field.at(i + 1) <= '3' &&
           isOctalDigit(field.at(i + 2)) && isOctalDigit(field.at(i + 3));
}

// A whole number that fits an int, written as digits only.
bool parseNumber(const QByteArray &text, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && !text.isEmpty() && text.at(0) != '+' && text.at(0) != '-';
}

} // namespace

bool parseDeviceNumbers(const QByteArray &text, dev_t *device)
{
    const QList<QByteArray> numbers = text.split(':');
    int major = 0;
    int minor = 0;
    if (numbers.size() != 2 || !parseNumber(numbers.at(0), &major) || !parseNumber(numbers.at(1), &minor))
        return false;
    *device = makedev(unsigned(major), unsigned(minor));
    return true;
}

QByteArray unescapeMountPath(const QByteArray &field)
{
    QByteArray path;
    path.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (isEscape(field, i)) {
            path +=
                char((field.at(i + 1) - '0') * 64 + (field.at(i + 2) - '0') * 8 + (field.at(i + 3) - '0'));
            i += 3;
        } else {
            path += field.at(i);
        }
    }
    return path;
}

QList<MountEntry> parseMountInfo(const QByteArray &text)
{
    QList<MountEntry> entries;
    for (const QByteArray &line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        MountEntry entry;
        if (fields.size() < 5 || !parseNumber(fields.at(0), &entry.id) ||
            !parseNumber(fields.at(1), &entry.parentId) || !parseDeviceNumbers(fields.at(2), &entry.device) ||
            !fields.at(4).startsWith('/'))
            continue;
        entry.mountPoint = unescapeMountPath(fields.at(4));
        entries.append(entry);
    }
    return entries;
}

QList<QByteArray> parseSwapPaths(const QByteArray &text)
{
    QList<QByteArray> paths;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QByteArray path = lines.at(i).simplified().split(' ').constFirst();
        if (path.startsWith('/'))
            paths.append(unescapeMountPath(path));
    }
    return paths;
}
