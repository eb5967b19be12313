// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "drives.h"

#include <QString>
#include <QTextStream>
#include <QtGlobal>
#include <functional>

// Reports progress of one phase ("write" or "verify"): bytes done so far and the phase's total.
using ProgressCallback = std::function<void(const char *phase, qint64 done, qint64 total)>;

// Size of the single transfer buffer; progress is reported once per chunk.
constexpr qint64 chunkSize = 4 * 1024 * 1024;

// Appended to the text of EIO: what the user can check when the card reader reports a fault.
extern const char hardwareHint[];

// The privileged write mode, in one of two forms (helperarguments.h):
//   program --write-helper IMAGE TARGET --verify|--no-verify [--diskseq=N] [--size=BYTES]
//   program --write-helper --stdin TARGET --verify|--no-verify [--diskseq=N] [--size=BYTES]
//           [--image-size=BYTES]
//   program --write-helper --stdin-cards --verify|--no-verify [--image-size=BYTES]
//           --card TARGET [--diskseq=N] [--size=BYTES] [--card TARGET ...]
// The first writes an image file; the second the framed image on standard input (imagestream.h),
// after it has printed "READY"; the third that image to each card (cardfanout.h), each card's
// lines prefixed "CARD <n> ", n counting the cards from 1, with a run-level READY once every card
// is checked and one is held, and DONE only when every card is done. Prints the progress protocol on stdout
// and returns the exit code (0 done, 1 failed, 2 wrong arguments, 3 target not allowed). Prints nothing on
// stderr. Ends at its next line (SIGPIPE) once nobody reads standard output any more.
int runWriteHelper(int argc, char **argv);

// Writes text as one UTF-8 line (newlines become blanks) and flushes it to the file descriptor.
void emitLine(QTextStream &out, const QString &text);

// True only if the drive enumeration offers exactly this path right now. When enumeration fails,
// its message goes to *enumerationError.
bool isAllowedTarget(const QString &devicePath, QString *enumerationError = nullptr);
// The refusal of a target that isAllowedTarget() does not find.
QString notAllowedText(const QString &devicePath, const QString &enumerationError);

// Unmounts every mount of the device and its partitions, innermost first: what the kernel lists
// in /proc/self/mountinfo for their device numbers, taken from the opened device, never a path
// that is no mount point of theirs. Refuses system mount points and swap. umount gets 30 s each.
// On failure writes a German text to *error; nothing is written to the device.
bool unmountTarget(const QString &devicePath, QString *error = nullptr);

// Opens the image for reading with the rights of the user pkexec ran the helper for (PKEXEC_UID),
// or with the helper's own when it was started directly. Only a regular file is accepted, and
// opening never waits (a FIFO). Returns the descriptor, or -1 and a German text in *error.
int openImageFile(const QString &imagePath, QString *error = nullptr);

// Copies the image onto the start of the target, forces it out to the medium and, if asked,
// reads it back and compares digests. A block device is unmounted and opened exclusively first,
// and refused unless it has the expected identity (its non-zero parts); a regular file keeps its
// bytes beyond the image. On failure writes a German text to *error.
bool writeImage(const QString &imagePath, const QString &devicePath, bool verify,
                const DriveIdentity &expected, const ProgressCallback &progress, QString *error = nullptr);

// What the standard-input form tells its caller on the way.
struct StreamEvents
{
    std::function<void()> ready;   // the card is held and passed every check; input is read from now on
    std::function<void()> writing; // the image's first byte came: from now on the card is changed
    ProgressCallback progress;     // "write" with the announced size as total (0 if unknown), then "verify"
};

// The standard-input form of writeImage: opens, holds and checks the card exactly as writeImage
// does (imageSize: the size announced, or -1), then reads the framed image from input and writes
// it as it arrives, its first MiB last and only after the go-ahead, and reads everything back if
// asked. Opens no path for the image. An abort, the input's end or a fault before the go-ahead
// leave the first MiB zero; the German text in *error then says what state the card is in.
bool writeStream(int input, const QString &devicePath, bool verify, const DriveIdentity &expected,
                 qint64 imageSize, const StreamEvents &events, QString *error = nullptr);

// Finds a card that reports more than it holds: writes a few marked blocks across the whole
// reported size of the exclusively opened device, its last block included, reads them back past
// every cache, and puts back what the blocks held before. On a fake card or an I/O error writes
// a German text to *error.
bool checkRealCapacity(int deviceFd, qint64 deviceSize, const QString &devicePath, QString *error = nullptr);

// The C library's text for the error number, with hardwareHint appended for EIO.
QString systemErrorText(int errorNumber);
