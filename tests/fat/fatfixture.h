// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "fatlayout.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// How a test volume is made: mkfs.fat options, and whether it sits behind an MBR.
struct VolumeSpec
{
    int fatBits = 32;
    int sectorSize = 512;
    int sectorsPerCluster = 1;
    int sizeKiB = 40 * 1024;
    int partitionLba = 0; // 0: bare volume; else the FAT partition's first 512-byte sector
    int rootEntries = 0;  // FAT16 root directory size; 0 = mkfs.fat's choice
    bool makeRom = true;  // mtools refuse FAT32 volumes below 65525 clusters
};
Q_DECLARE_METATYPE(VolumeSpec)

// A disk image in a temporary folder, made by sfdisk and mkfs.fat, with a Rom directory made by
// mmd; read back and checked by mtools and fsck.fat, never by the code under test.
class FatFixture
{
public:
    // Empty if every tool the fixture uses is installed, else the name of a missing one.
    static QString missingTool();
    // Adds the columns "spec" and rows for FAT16 and FAT32, sector sizes 512 and 4096, several
    // cluster sizes, bare and behind an MBR (after a Linux partition, at sector 2048 or 8192).
    static void addVolumeRows();

    bool create(const VolumeSpec &spec);
    QString error() const { return lastError; }
    QString image() const { return imagePath; }
    quint64 offset() const { return volumeOffset; }
    quint64 volumeSize() const { return volumeBytes; }

    // mtools on the volume; paths inside it start with "::".
    bool mmd(const QString &path);
    bool mcopyIn(const QByteArray &data, const QString &target);
    QByteArray mcopyOut(const QString &source);
    bool mdel(const QString &path);
    // Names of a directory as mtools shows them, letter case included, without "." and "..".
    QStringList list(const QString &dir);
    // Runs fsck.fat -n on a copy of the volume; true when it finds nothing to fix.
    bool fsckClean();

    QByteArray read(quint64 offset, qint64 length) const;
    bool write(quint64 offset, const QByteArray &bytes);
    QByteArray sha256() const;
    // Cheaper than a checksum for large images: sets the image's modification time far back;
    // any write since then moves it to now.
    bool backdate();
    bool writtenSinceBackdate() const;
    QString path(const QString &name) const { return dir.filePath(name); }

private:
    bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
             const QByteArray &input = QByteArray());
    QString mtoolsImage() const;

    QTemporaryDir dir;
    QString imagePath;
    quint64 volumeOffset = 0;
    quint64 volumeBytes = 0;
    QString lastError;
};

// Hand edits of on-disk fields use the writer's own little-endian helpers.
using FatLayout::putU16;
using FatLayout::putU32;
using FatLayout::u16;
using FatLayout::u32;

// Skips the current test when a tool is missing; use at the start of every test function.
#define REQUIRE_FAT_TOOLS()                                                                                  \
    do {                                                                                                     \
        const QString missing = FatFixture::missingTool();                                                   \
        if (!missing.isEmpty())                                                                              \
            QSKIP(qPrintable(missing + QStringLiteral(" is not installed")));                                \
    } while (false)
