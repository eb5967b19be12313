// SPDX-License-Identifier: GPL-3.0-or-later
#include "imagestream.h"

#include "fail.h"
#include "germannumber.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr char dataType = 'D';
constexpr char goAheadType = 'G';
constexpr char abortType = 'A';
constexpr qint64 goAheadLength = 8;
constexpr qint64 bytesPerMb = 1000000;

QByteArray header(char type, quint32 length)
{
    QByteArray bytes(ImageStream::frameHeaderSize, '\0');
    bytes[0] = type;
    for (int i = 0; i < 4; ++i)
        bytes[1 + i] = char(length >> (24 - 8 * i));
    return bytes;
}

quint64 bigEndian(const char *bytes, int count)
{
    quint64 value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | quint8(bytes[i]);
    return value;
}

QString invalidText()
{
    return QStringLiteral("Die Übertragung des Images ist fehlerhaft.");
}

QString bytesText(qint64 bytes)
{
    return germanNumber(double(bytes), 0);
}

} // namespace

QByteArray ImageStream::dataHeader(qint64 length)
{
    Q_ASSERT(length > 0 && length <= maxDataFrame);
    return header(dataType, quint32(length));
}

QByteArray ImageStream::goAheadFrame(qint64 imageBytes)
{
    QByteArray frame = header(goAheadType, goAheadLength);
    for (int i = 0; i < goAheadLength; ++i)
        frame += char(quint64(imageBytes) >> (56 - 8 * i));
    return frame;
}

QByteArray ImageStream::abortFrame()
{
    return header(abortType, 0);
}

QString ImageStream::cardTooSmallText(qint64 cardBytes)
{
    return QStringLiteral("Die Karte ist zu klein: Das Image ist größer als ihre %1 MB.")
        .arg(QString::number(cardBytes / bytesPerMb));
}

ImageStreamReader::ImageStreamReader(ReadFunction readFunction, qint64 byteLimit, qint64 announcedBytes)
    : read(std::move(readFunction)), limit(byteLimit), announcedSize(announcedBytes)
{}

ImageStreamReader::Result ImageStreamReader::next(QByteArrayView *data, QString *error)
{
    if (ended)
        return failed(error, invalidText());
    char frameHeader[ImageStream::frameHeaderSize];
    if (!readExactly(frameHeader, sizeof frameHeader, error))
        return Failed;
    const qint64 length = qint64(bigEndian(frameHeader + 1, 4));
    switch (frameHeader[0]) {
    case dataType:
        return takeData(length, data, error);
    case goAheadType:
        return takeGoAhead(length, error);
    case abortType:
        ended = true;
        return length == 0 ? Abort : failed(error, invalidText());
    default:
        return failed(error, invalidText());
    }
}

// Reads the whole length or fails: the input ending early is always a fault, since only a
// go-ahead or an abort ends the image.
bool ImageStreamReader::readExactly(char *buffer, qint64 length, QString *error)
{
    for (qint64 done = 0; done < length;) {
        const qint64 count = read(buffer + done, length - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            const int errorNumber = errno; // before building the text, which may allocate
            ended = true;
            return fail(error,
                        count < 0 ? QStringLiteral("Die Übertragung des Images brach ab: %1")
                                        .arg(QString::fromLocal8Bit(std::strerror(errorNumber)))
                                  : QStringLiteral("Die Übertragung des Images endete vor ihrem Abschluss."));
        }
        done += count;
    }
    return true;
}

ImageStreamReader::Result ImageStreamReader::failed(QString *error, const QString &text)
{
    ended = true;
    fail(error, text);
    return Failed;
}

ImageStreamReader::Result ImageStreamReader::takeData(qint64 length, QByteArrayView *data, QString *error)
{
    if (length < 1 || length > ImageStream::maxDataFrame)
        return failed(error, invalidText());
    // Refused before the bytes are read: nothing beyond the end reaches the card.
    if (announcedSize >= 0 && receivedBytes + length > announcedSize)
        return failed(
            error,
            QStringLiteral("Das Image ist größer als angegeben (%1 Byte).").arg(bytesText(announcedSize)));
    if (limit >= 0 && receivedBytes + length > limit)
        return failed(error, ImageStream::cardTooSmallText(limit));
    payload.resize(length);
    if (!readExactly(payload.data(), length, error))
        return Failed;
    receivedBytes += length;
    *data = QByteArrayView(payload);
    return Data;
}

ImageStreamReader::Result ImageStreamReader::takeGoAhead(qint64 length, QString *error)
{
    ended = true;
    char count[goAheadLength];
    if (length != goAheadLength)
        return failed(error, invalidText());
    if (!readExactly(count, goAheadLength, error))
        return Failed;
    // The count guards against a sender that lost track of what it sent.
    if (bigEndian(count, int(goAheadLength)) != quint64(receivedBytes))
        return failed(error, invalidText());
    if (receivedBytes == 0)
        return failed(error, QStringLiteral("Das Image ist leer."));
    if (announcedSize >= 0 && receivedBytes != announcedSize)
        return failed(error, QStringLiteral("Das Image ist kleiner als angegeben (%1 statt %2 Byte).")
                                 .arg(bytesText(receivedBytes), bytesText(announcedSize)));
    return GoAhead;
}
