#include "localcopy.h"

#include <QFile>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Large enough that the event loop costs nothing against the copy, small enough that a cancel
// waits only a moment even on a slow disk.
constexpr qint64 pieceBytes = 32 * 1024 * 1024;
constexpr size_t bufferBytes = 1024 * 1024;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// copy_file_range cannot serve these files (old kernel, other file systems, special files).
bool kernelCopyUnsupported(int error)
{
    return error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP || error == EBADF;
}

QString copyFailedText()
{
    return QStringLiteral("Das lokale Image konnte nicht in den Arbeitsordner kopiert werden: %1")
        .arg(systemError());
}

} // namespace

LocalCopy::LocalCopy(QObject *parent) : QObject(parent), pieceTimer(new QTimer(this))
{
    pieceTimer->setInterval(0);
    connect(pieceTimer, &QTimer::timeout, this, &LocalCopy::copyPiece);
}

LocalCopy::~LocalCopy()
{
    if (sourceFd >= 0)
        ::close(sourceFd);
    if (targetFd >= 0)
        ::close(targetFd);
}

void LocalCopy::start(const QString &source, const QString &target)
{
    done = 0;
    kernelCopy = true;
    sourceFd = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info = {};
    if (sourceFd < 0 || ::fstat(sourceFd, &info) != 0 || !S_ISREG(info.st_mode))
        return end(false, QStringLiteral("Das lokale Image „%1“ kann nicht gelesen werden.").arg(source));
    total = info.st_size;
    targetFd = ::open(QFile::encodeName(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (targetFd < 0)
        return end(
            false,
            QStringLiteral("Die Arbeitskopie des Images kann nicht angelegt werden: %1").arg(systemError()));
    pieceTimer->start();
}

void LocalCopy::copyPiece()
{
    const qint64 length = qMin(pieceBytes, total - done);
    qint64 copied = 0;
    const bool ok = kernelCopy ? copyInKernel(length, &copied) : copyThroughBuffer(length, &copied);
    if (!ok)
        return end(false, copyFailedText());
    done += copied;
    Q_EMIT progress(done, total);
    if (done >= total)
        end(true, QString());
    else if (copied == 0)
        end(false, QStringLiteral("Das lokale Image wurde während des Kopierens kürzer."));
}

bool LocalCopy::copyInKernel(qint64 length, qint64 *copied)
{
    while (*copied < length) {
        const ssize_t n =
            ::copy_file_range(sourceFd, nullptr, targetFd, nullptr, size_t(length - *copied), 0);
        if (n > 0) {
            *copied += n;
            continue;
        }
        if (n == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (*copied == 0 && done == 0 && kernelCopyUnsupported(errno)) {
            kernelCopy = false;
            return copyThroughBuffer(length, copied);
        }
        return false;
    }
    return true;
}

bool LocalCopy::copyThroughBuffer(qint64 length, qint64 *copied)
{
    std::vector<char> buffer(bufferBytes);
    while (*copied < length) {
        const ssize_t n =
            ::read(sourceFd, buffer.data(), size_t(qMin<qint64>(bufferBytes, length - *copied)));
        if (n == 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        for (ssize_t written = 0; written < n;) {
            const ssize_t w = ::write(targetFd, buffer.data() + written, size_t(n - written));
            if (w < 0 && errno != EINTR)
                return false;
            written += qMax<ssize_t>(w, 0);
        }
        *copied += n;
    }
    return true;
}

void LocalCopy::end(bool ok, QString error)
{
    pieceTimer->stop();
    // A copy that cannot reach the disk shows it at latest here.
    if (targetFd >= 0 && ::close(targetFd) != 0 && ok) {
        ok = false;
        error = copyFailedText();
    }
    targetFd = -1;
    if (sourceFd >= 0)
        ::close(sourceFd);
    sourceFd = -1;
    Q_EMIT finished(ok, ok ? QString() : error);
}
