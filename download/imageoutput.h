#pragma once

#include <QFile>
#include <QString>

// The image file being written, at most a given number of bytes. Runs of zeros become holes,
// which read back as zeros but take no disk space or write time. Opened on one thread, it may be
// written on another, one thread at a time.
class ImageOutput
{
public:
    enum class Failure
    {
        None,
        WriteFailed, // the disk took fewer bytes than given (full, I/O error)
        TooLarge,    // a write would pass the limit; nothing beyond it is written
    };

    // A negative limit means none.
    explicit ImageOutput(qint64 maxBytes) : limit(maxBytes) {}
    Q_DISABLE_COPY(ImageOutput)

    // Creates or truncates path; on failure error receives "Datei kann nicht angelegt werden: …".
    bool open(const QString &path, QString *error = nullptr);
    // Puts size bytes at offset; false once anything has failed.
    bool write(qint64 offset, const char *data, qint64 size);
    // Sets the file's length to the end of the last write and closes it.
    bool finish();
    // Closes and removes the file.
    void discard();

    Failure failure() const { return failed; }
    qint64 maxBytes() const { return limit; }

private:
    bool fail(Failure failure);

    QFile file;
    qint64 limit;
    qint64 end = 0;
    Failure failed = Failure::None;
};
