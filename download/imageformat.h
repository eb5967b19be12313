// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// How an image file is packed, told by its first bytes and never by its name.
enum class ImageFormat
{
    Raw, // anything else: taken as the image itself, byte for byte
    Xz,
    Zstd,
    Gzip,
    Bzip2,
    Zip,      // an archive that must hold exactly one file
    SevenZip, // known only to be refused
};

// The number of leading bytes detectImageFormat() needs to tell every format.
constexpr int imageFormatHeadSize = 6;

ImageFormat detectImageFormat(const QByteArray &head);
// The format's usual name ("xz", "ZIP"), for messages.
QString imageFormatName(ImageFormat format);
