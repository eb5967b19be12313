// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test fixtures for cards with partitions and mounted file systems:
//   makeCardFile(file, size, {"1MiB,8MiB", ",,"})  a sparse file with an MBR table (sfdisk lines)
//   makeExt2(partition)                             an ext2 file system (this kernel has no vfat)
//   Mount mount(partition, folder)                  mounted until the object goes, if still mounted
//   Mount mount("decoy", folder, "tmpfs")           a file system of that type without a device
//   isMounted(folder)                               what the kernel says right now

#include "loopdevice.h"

#include <QDir>
#include <QTextStream>

inline bool isMounted(const QString &folder)
{
    QFile mounts("/proc/self/mounts");
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    const QString wanted = QDir(folder).absolutePath();
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 1 && QString::fromUtf8(fields[1])
                                         .replace("\\040", " ")
                                         .replace("\\011", "\t")
                                         .replace("\\012", "\n")
                                         .replace("\\134", "\\") == wanted)
            return true;
    }
    return false;
}

// A sparse file of the given size with one MBR partition per sfdisk line (type 83).
inline bool makeCardFile(const QString &file, qint64 size, const QStringList &partitions)
{
    QFile card(file);
    if (!card.open(QIODevice::WriteOnly) || !card.resize(size))
        return false;
    card.close();
    if (partitions.isEmpty())
        return true;
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", file});
    QTextStream script(&sfdisk);
    script << "label: dos\n";
    for (const QString &partition : partitions)
        script << partition << ",83\n";
    script.flush();
    sfdisk.closeWriteChannel();
    return sfdisk.waitForFinished(30000) && sfdisk.exitCode() == 0;
}

inline bool makeExt2(const QString &partition)
{
    return runTool("mkfs.ext2", {"-q", "-F", partition});
}

// Mounts a device on a folder for the lifetime of the object; unmounts it again if it still is.
class Mount
{
public:
    Mount(const QString &device, const QString &mountFolder, const QString &type = QString())
        : folder(mountFolder)
    {
        QDir().mkpath(mountFolder);
        QByteArray output;
        const QStringList typeOption = type.isEmpty() ? QStringList() : QStringList{"-t", type};
        ok = runTool(systemTool("mount"), typeOption + QStringList{device, mountFolder}, &output);
        if (!ok)
            failure = QString::fromLocal8Bit(output).trimmed();
    }
    ~Mount()
    {
        // Lazily if need be: a mount left behind would keep the loop device from being freed.
        if (ok && isMounted(folder) && !runTool(systemTool("umount"), {folder}))
            runTool(systemTool("umount"), {"-l", folder});
    }
    Q_DISABLE_COPY(Mount)

    bool isOk() const { return ok; }
    QString error() const { return failure; }

private:
    QString folder;
    bool ok = false;
    QString failure;
};
