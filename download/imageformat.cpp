// SPDX-License-Identifier: GPL-3.0-or-later
#include "imageformat.h"

namespace {
struct Magic
{
    ImageFormat format;
    QByteArray bytes;
};

// pzstd and others begin with a skippable frame (magic 0x184D2A50 to 0x184D2A5F) before the data.
bool isZstdSkippableFrame(const QByteArray &head)
{
    return head.size() >= 4 && (quint8(head.at(0)) & 0xF0) == 0x50 && head.mid(1, 3) == "\x2A\x4D\x18";
}

bool isBzip2(const QByteArray &head)
{
    // "BZh" followed by the block size, a digit from 1 to 9.
    return head.startsWith("BZh") && head.size() > 3 && head.at(3) >= '1' && head.at(3) <= '9';
}
} // namespace

ImageFormat detectImageFormat(const QByteArray &head)
{
    static const Magic magics[] = {
        {ImageFormat::Xz, QByteArrayLiteral("\xFD"
                                            "7zXZ\x00")},
        {ImageFormat::Zstd, QByteArrayLiteral("\x28\xB5\x2F\xFD")},
        {ImageFormat::Gzip, QByteArrayLiteral("\x1F\x8B")},
        {ImageFormat::Zip, QByteArrayLiteral("PK\x03\x04")},
        // An empty archive is nothing but its end record.
        {ImageFormat::Zip, QByteArrayLiteral("PK\x05\x06")},
        {ImageFormat::SevenZip, QByteArrayLiteral("7z\xBC\xAF\x27\x1C")},
    };
    for (const Magic &magic : magics)
        if (head.startsWith(magic.bytes))
            return magic.format;
    if (isZstdSkippableFrame(head))
        return ImageFormat::Zstd;
    return isBzip2(head) ? ImageFormat::Bzip2 : ImageFormat::Raw;
}

QString imageFormatName(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Xz:
        return QStringLiteral("xz");
    case ImageFormat::Zstd:
        return QStringLiteral("zstd");
    case ImageFormat::Gzip:
        return QStringLiteral("gzip");
    case ImageFormat::Bzip2:
        return QStringLiteral("bzip2");
    case ImageFormat::Zip:
        return QStringLiteral("ZIP");
    case ImageFormat::SevenZip:
        return QStringLiteral("7-Zip");
    case ImageFormat::Raw:
        break;
    }
    return QStringLiteral("Image");
}
