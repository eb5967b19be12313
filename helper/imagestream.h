// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>
#include <functional>

// The image as the installer hands it to the write helper's standard input: a row of frames, each
// one type byte and a 32-bit big-endian payload length, then the payload.
//   'D' data:      1 to maxDataFrame bytes, the image's next bytes, in order from its first
//   'G' go-ahead:  8 bytes, the number of image bytes sent, big-endian; the image may be used
//   'A' abort:     no payload; the image must not be used
// Data frames come first, then exactly one go-ahead or abort, and nothing after it.
namespace ImageStream {

constexpr qint64 frameHeaderSize = 5;
constexpr qint64 maxDataFrame = 1 << 20;

// The frame header for a data payload of length bytes (1 to maxDataFrame).
QByteArray dataHeader(qint64 length);
QByteArray goAheadFrame(qint64 imageBytes);
QByteArray abortFrame();
// The refusal of image bytes beyond the end of a card of cardBytes.
QString cardTooSmallText(qint64 cardBytes);

} // namespace ImageStream

// Reads the frames from an unprivileged sender and holds it to the format: known types, bounded
// lengths, the order above, no byte beyond the limit (the card's end, or the size announced).
class ImageStreamReader
{
public:
    // Fills the buffer with up to length bytes: returns their number, 0 at the end of the input,
    // or -1 with errno set.
    using ReadFunction = std::function<qint64(char *buffer, qint64 length)>;
    enum Result
    {
        Data,    // *data holds the payload, valid until the next call
        GoAhead, // every byte has come and the image may be used
        Abort,   // the sender does not want the image used
        Failed   // *error says why; nothing more is read
    };

    // byteLimit: the most image bytes accepted, < 0 for none. announcedBytes: the exact image size when
    // the sender gave it beforehand, < 0 when not.
    ImageStreamReader(ReadFunction readFunction, qint64 byteLimit, qint64 announcedBytes);

    Result next(QByteArrayView *data, QString *error = nullptr);
    // Image bytes received so far.
    qint64 received() const { return receivedBytes; }

private:
    bool readExactly(char *buffer, qint64 length, QString *error);
    Result failed(QString *error, const QString &text);
    Result takeData(qint64 length, QByteArrayView *data, QString *error);
    Result takeGoAhead(qint64 length, QString *error);

    ReadFunction read;
    qint64 limit;
    qint64 announcedSize;
    qint64 receivedBytes = 0;
    bool ended = false;
    QByteArray payload;
};
