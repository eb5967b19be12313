// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "cardwrite.h"
#include "writehelper.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <functional>
#include <memory>
#include <vector>
#include <xxhash.h>

// What a card holds after a write that stopped: zeros in its first MiB once it got an image byte
// (touched), else what it had.
QString cardStateText(bool touched);
class ImageStreamReader;

// Takes frames until the go-ahead (true) or anything else: an abort, a broken input, or take()
// refusing the data (false, with the reason in *error unless take() wrote it).
bool receiveImage(ImageStreamReader &reader, const std::function<bool(QByteArrayView data)> &take,
                  QString *error);

// Writes the image as it arrives: zeros over the first MiB when its first byte comes, then each
// piece straight behind it, a digest kept of every chunk for the read-back; the first MiB itself
// waits in memory until the image is complete and accepted. Memory stays at that MiB and one digest
// per chunk, whatever the image's size; the pieces themselves are not copied, so cards fed the same
// pieces share them.
class StreamWriter
{
public:
    StreamWriter(int cardFd, bool isBlockDevice, qint64 announcedBytes, const QString &cardPath,
                 const StreamEvents &streamEvents, QString *errorOut)
        : card(cardFd), blockDevice(isBlockDevice), announcedSize(announcedBytes), devicePath(cardPath),
          events(streamEvents), error(errorOut)
    {}
    Q_DISABLE_COPY(StreamWriter)

    bool touched() const { return !head.isEmpty(); }
    bool add(QByteArrayView data);
    // Puts the last chunk and then the real first MiB on the card and forces everything out.
    bool finish();
    // Reads back what was written, through the held descriptor, and compares it chunk by chunk.
    bool verify();

private:
    bool begin();
    bool place(QByteArrayView piece);
    bool writeBlocks(QByteArrayView data);
    bool writeOut(QByteArrayView bytes);
    bool endChunk();
    bool failedWrite(int errorNumber);
    bool forceOut();
    bool readBackChunk(int reader, qint64 start, qint64 end);

    int card;
    bool blockDevice;
    qint64 announcedSize;
    const QString &devicePath;
    const StreamEvents &events;
    QString *error;
    QByteArray head;
    qint64 cardHeadSize = 0; // what the card had of its first MiB (a file may be shorter)
    std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t *)> chunkDigest{XXH3_createState(),
                                                                                 XXH3_freeState};
    qint64 chunkStart = 0;
    qint64 filled = 0; // bytes of the chunk from chunkStart on
    static constexpr qint64 blockSize = 4096;
    QByteArray partialBlock; // the image's bytes from writtenEnd on, less than a block
    qint64 writtenEnd = headSize;
    qint64 previousStart = 0;
    std::vector<XXH128_hash_t> digests;
};
