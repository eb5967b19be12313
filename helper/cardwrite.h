// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Pieces of writing a card that the image-file and the standard-input form of the helper share.

#include "drives.h"

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <sys/stat.h>
#include <sys/types.h>

// The partition tables live in the image's first MiB. Zeros stand there until everything else is
// on the card, so a write that stops early (cancel, a reader pulled, an I/O error, a sender gone)
// leaves a card without a volume rather than one that looks complete but is not.
constexpr qint64 headSize = 1 << 20;

// Fills a text whose %1 is the target path and %2 the system's text for the error number.
QString deviceError(const char *text, const QString &devicePath, int errorNumber);

// Writes all bytes at the offset, continuing after short writes and signals. On failure
// *errorNumber is set.
bool writeAll(int fd, const char *data, qint64 length, qint64 offset, int *errorNumber);

// Starts writing the chunk just written out to the medium and waits until the one before it has
// arrived there; on failure *errorNumber is set.
bool writeBack(int fd, qint64 previousStart, qint64 chunkStart, qint64 chunkEnd, int *errorNumber);

// pread, repeated after a signal.
ssize_t readRetrying(int fd, char *data, qint64 length, qint64 offset);

// Unmounts and opens the target for writing, then checks on the descriptor that it is still the
// disk that was meant and can hold imageSize bytes (0: size not known) and is no fake card.
// Returns the descriptor, with what it is in *status and *identity, or -1 with a German text in
// *error.
int openTarget(const QString &devicePath, qint64 imageSize, const DriveIdentity &expected,
               struct stat *status, DriveIdentity *identity, QString *error);
// The two halves of openTarget. The first finds the target (what it is in *status) and unmounts a
// disk, running umount; the second, which runs no program and so may run on any thread, opens
// and checks it.
bool prepareTarget(const QString &devicePath, struct stat *status, QString *error);
int openPreparedTarget(const QString &devicePath, qint64 imageSize, const DriveIdentity &expected,
                       struct stat *status, DriveIdentity *identity, QString *error);

// Reads the card's first block through the held descriptor, past every cache: false, with a German
// text in *error, when the card no longer answers (pulled out, or failing). For block devices.
bool cardAnswers(int fd, const QString &devicePath, QString *error);

// Asks a held block device card once a second whether it still answers, however the image comes:
// a write alone would notice a pulled card only at its next chunk, seconds later on a slow line.
// A regular file (watching false) is never asked.
class CardWatch
{
public:
    CardWatch(int cardFd, const QString &cardPath, bool watching)
        : fd(cardFd), devicePath(cardPath), active(watching)
    {}

    // Asks the card if a second has passed since it last answered; false with its text in *error
    // once it does not answer.
    bool lookIfDue(QString *error);
    // Milliseconds until the next look is due.
    int millisecondsToNextLook() const;
    // Waits until input can be read (or has ended), looking at the card whenever a look is due.
    bool waitForInput(int input, QString *error);

private:
    static constexpr std::chrono::milliseconds interval{1000};
    const int fd;
    const QString &devicePath;
    const bool active;
    std::chrono::steady_clock::time_point lastAnswer = std::chrono::steady_clock::now();
};
