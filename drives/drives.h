// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// What tells one disk from another that later takes over its name: the kernel's disk sequence
// number (0 where the kernel has none) and the size in bytes.
struct DriveIdentity
{
    quint64 diskseq = 0;
    qint64 sizeBytes = 0;
    bool operator==(const DriveIdentity &other) const
    {
        return diskseq == other.diskseq && sizeBytes == other.sizeBytes;
    }
    bool operator!=(const DriveIdentity &other) const { return !(*this == other); }
};

// One removable disk that may be offered as a target.
struct DriveInfo
{
    QString path;                 // device node of the whole disk, the write helper's target
    QString name;                 // vendor and model as shown, or a general name where lsblk gives none
    QString label;                // display text "name (size) – path", the size in MB below a gigabyte
    QStringList fileSystemLabels; // of the disk and its partitions, e.g. "FOTOS", each once
    qint64 sizeBytes = 0;
    quint64 diskseq = 0; // from sysfs at listing time; 0 where the kernel has none

    DriveIdentity identity() const { return {diskseq, sizeBytes}; }
};

// Runs lsblk and returns the candidate disks in lsblk's order. When lsblk cannot be run or its
// output cannot be read, returns an empty list and writes the reason to *error.
QList<DriveInfo> listDrives(QString *error = nullptr);

// The kernel's disk sequence number of the whole disk /dev/NAME from
// /sys/class/block/NAME/diskseq; 0 when the kernel (before 5.15) or the device has none.
quint64 readDiskSequence(const QString &devicePath);

// Runs "lsblk" from PATH with the arguments and a 10 s limit. *ok is true only after a normal exit
// with code 0; otherwise the result is empty.
QByteArray runLsblk(const QStringList &arguments, bool *ok);

// Runs lsblk with the arguments built for the column "MOUNTPOINTS" and, if that run fails, again
// with the older single-valued "MOUNTPOINT". Returns the output of the first successful run.
QByteArray runLsblkForMountpoints(const std::function<QStringList(const QString &mountColumn)> &arguments,
                                  bool *ok);

// Repairs lsblk output so that it parses as JSON: broken UTF-8 becomes U+FFFD, "\xHH" becomes
// "\u00HH", stray control bytes become blanks.
QByteArray sanitizeLsblkBytes(const QByteArray &raw);

// Repairs, parses and filters lsblk JSON into candidate disks. Unreadable output gives an empty
// list and a message in *error. sysfsRoot is where the kernel's device attributes are read.
QList<DriveInfo> parseLsblkOutput(const QByteArray &output, QString *error = nullptr,
                                  const QString &sysfsRoot = QStringLiteral("/sys"));

// Whether the disk of that kernel name (mmcblkN) is an SD card: the kernel says "SD" in
// <sysfsRoot>/block/NAME/device/type, and "MMC" for an eMMC soldered onto the board.
bool isSdCard(const QString &name, const QString &sysfsRoot = QStringLiteral("/sys"));

// Appends the non-empty mount points of the device and, depth first, of all its children.
void collectMountpoints(const QJsonObject &device, QStringList &mountpoints);

// True for "/", "[SWAP]" and the system directories and everything below them.
bool isSystemMountpoint(const QString &mountpoint);

// Reads an lsblk flag in its old (string) or new (boolean/number) form.
bool jsonFlag(const QJsonValue &value);

// Makes a vendor or model text safe to show: one line, printable, at most 64 characters.
QString cleanDeviceText(const QString &text);
