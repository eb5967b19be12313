// SPDX-License-Identifier: GPL-3.0-or-later
#include "unpack.h"

#include "bytesource.h"
#include "imagesink.h"

#include <QLocale>
#include <archive.h>
#include <archive_entry.h>
#include <cstring>
#include <memory>

namespace {
using Status = UnpackResult::Status;

// How many file names a message about a ZIP archive lists before it stops counting them out.
constexpr int namesShown = 5;
// A tar archive's header has "ustar" here; its first block comes out of a packed .tar file.
constexpr int tarMagicOffset = 257;

// What libarchive reads: first the bytes already taken for telling the format, then the source.
struct ArchiveInput
{
    ByteSource &source;
    QByteArray head;
    bool headGiven = false;
    bool ended = false; // the source ended early
};

la_ssize_t readInput(archive *reader, void *client, const void **buffer)
{
    auto *input = static_cast<ArchiveInput *>(client);
    if (!input->headGiven) {
        input->headGiven = true;
        *buffer = input->head.constData();
        return input->head.size();
    }
    QByteArrayView piece;
    if (!input->source.next(&piece)) {
        input->ended = true;
        archive_set_error(reader, ECANCELED, "input ended early");
        return -1;
    }
    *buffer = piece.data();
    return piece.size();
}

// The first bytes of the source, enough to tell its format unless it is shorter.
bool readHead(ByteSource &source, QByteArray *head)
{
    QByteArrayView piece;
    do {
        if (!source.next(&piece))
            return false;
        head->append(piece.data(), piece.size());
    } while (!piece.isEmpty() && head->size() < imageFormatHeadSize);
    return true;
}

Status outputStatus(const ImageSink &output)
{
    return output.failure() == ImageSink::Failure::TooLarge ? Status::TooLarge : Status::WriteFailed;
}

Status finished(ImageSink &output)
{
    return output.finish() ? Status::Done : outputStatus(output);
}

Status copyRaw(ByteSource &source, const QByteArray &head, ImageSink &output)
{
    qint64 offset = 0;
    QByteArrayView piece(head);
    do {
        if (!output.write(offset, piece.data(), piece.size()))
            return outputStatus(output);
        offset += piece.size();
        if (!source.next(&piece))
            return Status::InputEnded;
    } while (!piece.isEmpty());
    return finished(output);
}

struct ArchiveFree
{
    void operator()(archive *reader) const { archive_read_free(reader); }
};
using Archive = std::unique_ptr<archive, ArchiveFree>;

Archive openArchive(ImageFormat format, ArchiveInput *input)
{
    Archive reader(archive_read_new());
    switch (format) {
    case ImageFormat::Xz:
        archive_read_support_filter_xz(reader.get());
        break;
    case ImageFormat::Zstd:
        archive_read_support_filter_zstd(reader.get());
        break;
    case ImageFormat::Gzip:
        archive_read_support_filter_gzip(reader.get());
        break;
    case ImageFormat::Bzip2:
        archive_read_support_filter_bzip2(reader.get());
        break;
    case ImageFormat::Zip:
    case ImageFormat::SevenZip:
    case ImageFormat::Raw:
        break;
    }
    if (format == ImageFormat::Zip)
        archive_read_support_format_zip_streamable(reader.get());
    else
        archive_read_support_format_raw(reader.get());
    archive_read_open(reader.get(), input, nullptr, readInput, nullptr);
    return reader;
}

// What libarchive reports for a stream it reads but cannot unpack, in German; empty for any
// other failure.
QString unsupportedBy(archive *reader)
{
    const QString reason = QString::fromUtf8(archive_error_string(reader));
    if (reason.contains(QLatin1String("compression method"), Qt::CaseInsensitive)) {
        const QString method = reason.section(QLatin1Char('('), 1).section(QLatin1Char(')'), 0, 0);
        return QStringLiteral("die Kompressionsmethode %1 im ZIP-Archiv")
            .arg(method.section(QLatin1String(": "), -1));
    }
    if (reason.contains(QLatin1String("too much memory"), Qt::CaseInsensitive) ||
        reason.contains(QLatin1String("window"), Qt::CaseInsensitive))
        return QStringLiteral("ein zstd-Fenster über 128 MiB (mit „--long“ gepackt)");
    return QString();
}

Status brokenStream(archive *reader, const ArchiveInput &input, UnpackResult *result)
{
    if (input.ended)
        return Status::InputEnded;
    result->unsupported = unsupportedBy(reader);
    return result->unsupported.isEmpty() ? Status::Corrupt : Status::Unsupported;
}

bool isTarHeader(const void *block, size_t size, la_int64_t offset)
{
    return offset == 0 && size >= tarMagicOffset + 5 &&
           std::memcmp(static_cast<const char *>(block) + tarMagicOffset, "ustar", 5) == 0;
}

// Unpacks the current entry; a stop is honoured between blocks, as one packed piece may hold
// gigabytes of zeros.
Status unpackEntry(archive *reader, const ArchiveInput &input, ImageSink &output, UnpackResult *result)
{
    const void *block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int read;
    while ((read = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
        if (input.source.stopRequested())
            return Status::InputEnded;
        if (isTarHeader(block, size, offset)) {
            result->unsupported = QStringLiteral("ein tar-Archiv; erwartet wird ein einzelnes Image");
            return Status::Unsupported;
        }
        if (!output.write(offset, static_cast<const char *>(block), qint64(size)))
            return outputStatus(output);
    }
    return read == ARCHIVE_EOF ? Status::Done : brokenStream(reader, input, result);
}

QString entryName(archive_entry *entry)
{
    if (const char *name = archive_entry_pathname_utf8(entry))
        return QString::fromUtf8(name);
    return QString::fromLocal8Bit(archive_entry_pathname(entry));
}

// Unpacks the first file and counts the rest, whose data is skipped; folders do not count.
Status unpackArchive(archive *reader, const ArchiveInput &input, ImageSink &output, UnpackResult *result)
{
    archive_entry *entry = nullptr;
    int read;
    while ((read = archive_read_next_header(reader, &entry)) == ARCHIVE_OK || read == ARCHIVE_WARN) {
        if (archive_entry_filetype(entry) == AE_IFDIR)
            continue;
        result->zipFiles.append(entryName(entry));
        if (archive_entry_is_encrypted(entry))
            return Status::Encrypted;
        const Status status = result->zipFiles.size() == 1 ? unpackEntry(reader, input, output, result)
                              : archive_read_data_skip(reader) == ARCHIVE_OK
                                  ? Status::Done
                                  : brokenStream(reader, input, result);
        if (status != Status::Done)
            return status;
    }
    return read == ARCHIVE_EOF ? Status::Done : brokenStream(reader, input, result);
}

Status unpackPacked(ArchiveInput &input, ImageSink &output, UnpackResult *result)
{
    if (result->format == ImageFormat::SevenZip) {
        result->unsupported = QStringLiteral("ein 7-Zip-Archiv");
        return Status::Unsupported;
    }
    const Archive reader = openArchive(result->format, &input);
    const Status status = unpackArchive(reader.get(), input, output, result);
    if (status != Status::Done || result->format != ImageFormat::Zip)
        return status;
    if (result->zipFiles.isEmpty())
        return Status::NoFileInZip;
    return result->zipFiles.size() > 1 ? Status::SeveralFilesInZip : Status::Done;
}

// Whatever follows the end of a packed stream is read and dropped, so that the whole input
// passes and none of its producers waits in vain.
void drain(ByteSource &source)
{
    QByteArrayView piece;
    while (source.next(&piece) && !piece.isEmpty()) {
    }
}

QString quotedNames(const QStringList &names)
{
    QStringList quoted;
    for (const QString &name : names.mid(0, namesShown))
        quoted.append(QStringLiteral("„%1“").arg(name));
    if (names.size() > namesShown)
        quoted.append(QStringLiteral("…"));
    return quoted.join(QStringLiteral(", "));
}
} // namespace

UnpackResult unpackImage(ByteSource &source, ImageSink &output, Unpacking unpacking)
{
    UnpackResult result;
    ArchiveInput input{source, {}};
    if (!readHead(source, &input.head)) {
        result.status = Status::InputEnded;
        return result;
    }
    if (unpacking == Unpacking::ByFormat)
        result.format = detectImageFormat(input.head);
    if (result.format == ImageFormat::Raw) {
        result.status = copyRaw(source, input.head, output);
        return result;
    }
    result.status = unpackPacked(input, output, &result);
    if (result.status == Status::Done) {
        drain(source);
        result.status = finished(output);
    }
    return result;
}

QString unpackFailureText(const UnpackResult &result, qint64 maxImageBytes)
{
    const QLocale german(QLocale::German, QLocale::Germany);
    switch (result.status) {
    case Status::TooLarge:
        return QStringLiteral("Das Image ist größer als die Speicherkarte (%1 Bytes).")
            .arg(german.toString(maxImageBytes));
    case Status::Corrupt:
        return QStringLiteral("Die %1-Datei ist beschädigt oder unvollständig.")
            .arg(imageFormatName(result.format));
    case Status::NoFileInZip:
        return QStringLiteral("Das ZIP-Archiv enthält keine Datei; erwartet wird genau ein Image.");
    case Status::SeveralFilesInZip:
        return QStringLiteral("Das ZIP-Archiv enthält %1 Dateien statt genau eines Images: %2")
            .arg(german.toString(result.zipFiles.size()), quotedNames(result.zipFiles));
    case Status::Encrypted:
        return QStringLiteral(
            "Das ZIP-Archiv ist verschlüsselt; verschlüsselte Images werden nicht unterstützt.");
    case Status::Unsupported:
        return QStringLiteral("Das Packformat der Datei wird nicht unterstützt: %1.").arg(result.unsupported);
    case Status::Done:
    case Status::InputEnded:
    case Status::WriteFailed:
        break;
    }
    return QString();
}
