// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// On-disk layout of the structures FatImage reads and writes; all values little-endian.
namespace FatLayout {

constexpr int sectorSize = 512; // MBR, boot sector and FSInfo are read as 512-byte blocks
constexpr int entrySize = 32;   // one directory entry

namespace Mbr {
constexpr int firstEntry = 446;
constexpr int entryLength = 16;
constexpr int typeOffset = 4;
constexpr int firstSectorOffset = 8;
constexpr int sectorCountOffset = 12;
constexpr quint64 lbaSize = 512;
} // namespace Mbr

namespace Boot {
constexpr int bytesPerSector = 11;
constexpr int sectorsPerCluster = 13;
constexpr int reservedSectors = 14;
constexpr int fatCount = 16;
constexpr int rootEntryCount = 17;
constexpr int totalSectors16 = 19;
constexpr int sectorsPerFat16 = 22;
constexpr int totalSectors32 = 32;
constexpr int sectorsPerFat32 = 36;
constexpr int rootCluster = 44;
constexpr int fsInfoSector = 48;
constexpr int fat32TypeText = 82;
} // namespace Boot

namespace FsInfo {
constexpr quint32 leadSignature = 0x41615252;
constexpr int structSignatureOffset = 484;
constexpr quint32 structSignature = 0x61417272;
constexpr int freeCountOffset = 488;
constexpr int nextFreeOffset = 492;
constexpr quint32 unknown = 0xFFFFFFFF;
} // namespace FsInfo

namespace Dir {
constexpr int nameLength = 11;
constexpr int attributes = 11;
constexpr int caseFlags = 12;
constexpr int createTime = 14;
constexpr int createDate = 16;
constexpr int accessDate = 18;
constexpr int firstClusterHigh = 20;
constexpr int writeTime = 22;
constexpr int writeDate = 24;
constexpr int firstClusterLow = 26;
constexpr int fileSize = 28;

constexpr quint8 endMarker = 0x00;
constexpr quint8 deletedMarker = 0xE5;
constexpr quint8 attrVolumeLabel = 0x08;
constexpr quint8 attrDirectory = 0x10;
constexpr quint8 attrArchive = 0x20;
constexpr quint8 longNameMask = 0x3F;
constexpr quint8 longName = 0x0F;
constexpr quint8 lowerCaseBase = 0x08;
constexpr quint8 lowerCaseExtension = 0x10;
} // namespace Dir

// Little-endian fields of a block; the caller makes sure the block is long enough.
// Out of line: GCC's bounds warnings otherwise mistake every block for Qt's shared empty array.
quint8 u8(const QByteArray &bytes, int offset);
quint16 u16(const QByteArray &bytes, int offset);
quint32 u32(const QByteArray &bytes, int offset);
void putU16(QByteArray &bytes, int offset, quint16 value);
void putU32(QByteArray &bytes, int offset, quint32 value);

// First cluster stored in a directory entry, split over two 16-bit fields.
quint32 firstCluster(const QByteArray &entry);

} // namespace FatLayout
