// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardwrite.h"
#include "descriptor.h"
#include "fail.h"

#include <QByteArray>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr size_t probeBytes = 4096;

QString unreachableText(const QString &devicePath, int errorNumber)
{
    return deviceError("Die Karte unter %1 antwortet nicht mehr (entfernt oder defekt): %2", devicePath,
                       errorNumber);
}

} // namespace

// A direct read of the first block: past the kernel's cache, so it reaches the card itself. It
// opens the very device the descriptor holds, never a name.
bool cardAnswers(int fd, const QString &devicePath, QString *error)
{
    const Descriptor reader(::open(QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(),
                                   O_RDONLY | O_DIRECT | O_CLOEXEC));
    if (!reader.isOpen())
        return fail(error, unreachableText(devicePath, errno));
    void *block = nullptr;
    if (::posix_memalign(&block, probeBytes, probeBytes) != 0)
        return true; // no memory to look with is no sign of the card
    const ssize_t read = readRetrying(reader.get(), static_cast<char *>(block), probeBytes, 0);
    const int errorNumber = read < 0 ? errno : EIO;
    ::free(block);
    return read == ssize_t(probeBytes) || fail(error, unreachableText(devicePath, errorNumber));
}

bool CardWatch::lookIfDue(QString *error)
{
    if (!active || millisecondsToNextLook() > 0)
        return true;
    if (!cardAnswers(fd, devicePath, error))
        return false;
    lastAnswer = std::chrono::steady_clock::now();
    return true;
}

int CardWatch::millisecondsToNextLook() const
{
    if (!active)
        return int(interval.count());
    const auto left = lastAnswer + interval - std::chrono::steady_clock::now();
    return int(qMax(qint64(0), qint64(std::chrono::ceil<std::chrono::milliseconds>(left).count())));
}

bool CardWatch::waitForInput(int input, QString *error)
{
    for (;;) {
        if (!lookIfDue(error))
            return false;
        pollfd waiting{input, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, millisecondsToNextLook());
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return true;
    }
}
