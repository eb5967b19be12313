// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One accepted entry of the version list tobra.json.
struct VersionEntry
{
    QString title;        // trimmed, never empty
    QString image;        // trimmed, a valid image name (see isValidImageName)
    QString kickstart;    // trimmed, may be empty
    QString sha256;       // empty, or 64 lower-case hexadecimal digits
    qint64 imageSize = 0; // bytes of the unpacked image as the list gives them; 0: not given

    bool operator==(const VersionEntry &other) const
    {
        return title == other.title && image == other.image && kickstart == other.kickstart &&
               sha256 == other.sha256 && imageSize == other.imageSize;
    }
    bool operator!=(const VersionEntry &other) const { return !(*this == other); }
};

// The result of a successful parse; a default-constructed list holds nothing (schema 0).
struct VersionList
{
    qint32 schema = 0;
    QList<VersionEntry> versions;
};

// Parses the version list as a whole: true and *list filled only if every part of the document
// is valid; otherwise false, *error = the German message naming the first fault, *list untouched.
bool parseVersionList(const QByteArray &bytes, VersionList *list = nullptr, QString *error = nullptr);

// True when name is 1 to 128 ASCII letters, digits, '.', '_' or '-', starting with a letter or
// digit: a single relative path segment, safe as the last part of a URL.
bool isValidImageName(const QString &name);
