// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "imageformat.h"

#include <QString>
#include <QStringList>

class ByteSource;
class ImageSink;

struct UnpackResult
{
    enum class Status
    {
        Done,              // the whole image is in the output, which is closed
        InputEnded,        // the source ended early: stopped, or a read failed
        WriteFailed,       // the output took fewer bytes than given
        TooLarge,          // the image outgrew the output's limit
        Corrupt,           // the packed stream is damaged or cut short
        NoFileInZip,       // a ZIP archive without a file
        SeveralFilesInZip, // a ZIP archive with more than one file
        Encrypted,         // a ZIP archive whose file is encrypted
        Unsupported,       // packed in a way this program cannot unpack; see unsupported
    };
    Status status = Status::Done;
    ImageFormat format = ImageFormat::Raw;
    QStringList zipFiles; // the files found in a ZIP archive, in order
    QString unsupported;  // what is not supported, e.g. "ein tar-Archiv"

    bool ok() const { return status == Status::Done; }
};

// Whether a packed image is unpacked or kept as it came.
enum class Unpacking
{
    ByFormat,
    Never
};

// Reads source to its end and writes the image into output: unpacked when the first bytes show
// one of the formats of ImageFormat (and unpacking is ByFormat), else unchanged. Stops at the
// first failure; the output is then left as it is for the caller to discard. A stop of the source
// is honoured while input is still expected and, for a packed image, while it is being unpacked.
UnpackResult unpackImage(ByteSource &source, ImageSink &output, Unpacking unpacking = Unpacking::ByFormat);

// The German message for the statuses from TooLarge on, which concern the image itself; the
// caller words InputEnded and WriteFailed, which concern its own files.
QString unpackFailureText(const UnpackResult &result, qint64 maxImageBytes);
