// SPDX-License-Identifier: GPL-3.0-or-later
#include "descriptor.h"
#include "drives.h"
#include "fail.h"
#include "mountinfo.h"
#include "runprogram.h"
#include "writehelper.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

constexpr int umountTimeoutMs = 30000;

QByteArray readKernelFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The device numbers of the disk behind the descriptor and of its partitions, as sysfs lists them
// below the disk.
QSet<dev_t> cardDevices(dev_t disk)
{
    QSet<dev_t> devices{disk};
    const QDir folder(QStringLiteral("/sys/dev/block/%1:%2").arg(major(disk)).arg(minor(disk)));
    for (const QString &name : folder.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (!QFileInfo::exists(folder.filePath(name + QLatin1String("/partition"))))
            continue;
        dev_t partition = 0;
        if (parseDeviceNumbers(readKernelFile(folder.filePath(name + QLatin1String("/dev"))).trimmed(),
                               &partition))
            devices.insert(partition);
    }
    return devices;
}

// What is mounted from the card now, latest first, so that a file system mounted over another
// one at the same place comes before it.
QList<MountEntry> cardMounts(const QList<MountEntry> &mounts, const QSet<dev_t> &devices)
{
    QList<MountEntry> card;
    for (auto entry = mounts.crbegin(); entry != mounts.crend(); ++entry)
        if (devices.contains(entry->device))
            card.append(*entry);
    return card;
}

bool isSwapOfCard(const QSet<dev_t> &devices)
{
    for (const QByteArray &path : parseSwapPaths(readKernelFile(QStringLiteral("/proc/swaps")))) {
        struct stat status;
        if (::stat(path.constData(), &status) == 0 && S_ISBLK(status.st_mode) &&
            devices.contains(status.st_rdev))
            return true;
    }
    return false;
}

QString systemRefusal(const QString &devicePath, const QList<MountEntry> &card, const QSet<dev_t> &devices)
{
    for (const MountEntry &mount : card) {
        const QString mountPoint = QFile::decodeName(mount.mountPoint);
        if (isSystemMountpoint(mountPoint))
            return QStringLiteral("%1 enthält das Systemverzeichnis %2, das wird nicht überschrieben")
                .arg(devicePath, mountPoint);
    }
    if (isSwapOfCard(devices))
        return QStringLiteral("%1 enthält das Systemverzeichnis [SWAP], das wird nicht überschrieben")
            .arg(devicePath);
    return QString();
}

// A mount with nothing mounted inside it or over it: umount with its path takes down that one.
const MountEntry *freeMount(const QList<MountEntry> &card, const QList<MountEntry> &mounts,
                            const QSet<int> &tried)
{
    for (const MountEntry &candidate : card) {
        const bool covered =
            std::any_of(mounts.cbegin(), mounts.cend(), [&candidate](const MountEntry &other) {
                return other.parentId == candidate.id && other.id != candidate.id;
            });
        if (!covered && !tried.contains(candidate.id))
            return &candidate;
    }
    return nullptr;
}

bool runUmount(const QString &mountPoint, QString *error)
{
    QElapsedTimer timer;
    timer.start();
    QString reason;
    if (runProgram(QStringLiteral("umount"), {mountPoint}, umountTimeoutMs, nullptr, &reason))
        return true;
    if (timer.elapsed() >= umountTimeoutMs)
        reason = QStringLiteral("umount hat nach %1 s nicht geantwortet.").arg(umountTimeoutMs / 1000);
    return fail(error, QStringLiteral("%1 konnte nicht ausgehängt werden: %2").arg(mountPoint, reason));
}

} // namespace

bool unmountTarget(const QString &devicePath, QString *error)
{
    const Descriptor device(
        ::open(QFile::encodeName(devicePath).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (!device.isOpen() || ::fstat(device.get(), &status) != 0 || !S_ISBLK(status.st_mode))
        return fail(
            error,
            QStringLiteral("Die Einhängepunkte von %1 konnten nicht ermittelt werden").arg(devicePath));
    const QSet<dev_t> devices = cardDevices(status.st_rdev);
    QList<MountEntry> mounts = parseMountInfo(readKernelFile(QStringLiteral("/proc/self/mountinfo")));
    const QString refusal = systemRefusal(devicePath, cardMounts(mounts, devices), devices);
    if (!refusal.isEmpty())
        return fail(error, refusal);

    // One at a time, asking the kernel again after each: what umount took down is gone, a mount
    // inside another one is taken down before it. One that umount claims to have taken down but
    // left in place is left to the exclusive open, which then refuses the card.
    QSet<int> tried;
    for (QList<MountEntry> card = cardMounts(mounts, devices); !card.isEmpty();
         card = cardMounts(mounts, devices)) {
        const MountEntry *next = freeMount(card, mounts, tried);
        if (!next) {
            const bool leftInPlace =
                std::any_of(card.cbegin(), card.cend(),
                            [&tried](const MountEntry &mount) { return tried.contains(mount.id); });
            if (leftInPlace)
                return true;
            return fail(
                error, QStringLiteral("%1 konnte nicht ausgehängt werden: Darin oder darüber ist ein anderes "
                                      "Dateisystem eingehängt.")
                           .arg(QFile::decodeName(card.constFirst().mountPoint)));
        }
        tried.insert(next->id);
        if (!runUmount(QFile::decodeName(next->mountPoint), error))
            return false;
        mounts = parseMountInfo(readKernelFile(QStringLiteral("/proc/self/mountinfo")));
    }
    return true;
}
