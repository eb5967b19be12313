// SPDX-License-Identifier: GPL-3.0-or-later
#include "fatfixture.h"
#include "fatimage.h"
#include "testfiles.h"

#include <QFile>
#include <QTest>

using Patches = QMap<qint64, QByteArray>; // absolute offset → bytes written there

namespace {

const QString invalidVolume = QStringLiteral("Die Partition ist kein gültiges FAT16/FAT32");

const VolumeSpec fat32Bare{32, 512, 1, 40 * 1024, 0, 0};
const VolumeSpec fat32Mbr{32, 512, 1, 40 * 1024, 2048, 0};

QByteArray u32Bytes(quint32 value)
{
    QByteArray bytes(4, '\0');
    putU32(bytes, 0, value);
    return bytes;
}

// A FAT16 boot sector with exactly the given number of clusters: 512-byte sectors, one sector
// per cluster, one reserved sector, two FATs, 512 root entries. mkfs.fat cannot be told a count.
QByteArray fat16BootSector(quint32 clusters, quint32 *totalSectors)
{
    const quint32 sectorsPerFat = ((clusters + 2) * 2 + 511) / 512;
    *totalSectors = 1 + 2 * sectorsPerFat + 32 + clusters;
    QByteArray boot(512, '\0');
    boot[0] = char(0xEB);
    putU16(boot, 11, 512);
    boot[13] = 1;
    putU16(boot, 14, 1);
    boot[16] = 2;
    putU16(boot, 17, 512);
    boot[21] = char(0xF8);
    putU16(boot, 22, quint16(sectorsPerFat));
    putU32(boot, 32, *totalSectors);
    boot[510] = 0x55;
    boot[511] = char(0xAA);
    return boot;
}

} // namespace

class TestFatVolume : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { REQUIRE_FAT_TOOLS(); }

    void opensMkfsVolumes_data() { FatFixture::addVolumeRows(); }
    void opensMkfsVolumes()
    {
        QFETCH(VolumeSpec, spec);
        FatFixture fixture;
        QVERIFY2(fixture.create(spec), qPrintable(fixture.error()));
        QVERIFY(fixture.backdate());

        FatImage image;
        QString error;
        QVERIFY2(image.open(fixture.image(), &error), qPrintable(error));
        const FatGeometry &geo = image.geometry();
        QCOMPARE(geo.partitionOffset, fixture.offset());
        QCOMPARE(geo.fatType, quint32(spec.fatBits));
        QCOMPARE(geo.bytesPerSector, quint32(spec.sectorSize));
        QCOMPARE(geo.bytesPerCluster, quint32(spec.sectorSize * spec.sectorsPerCluster));
        QCOMPARE(geo.rootCluster, spec.fatBits == 32 ? 2u : 0u);
        QCOMPARE(geo.endOfChainMin, spec.fatBits == 32 ? 0x0FFFFFF8u : 0xFFF8u);
        // mkfs.fat may leave a few sectors of the partition unused.
        QVERIFY(geo.volumeEnd <= fixture.offset() + fixture.volumeSize());
        QVERIFY(geo.volumeEnd + 64 * 1024 > fixture.offset() + fixture.volumeSize());
        // The last cluster ends inside the volume.
        QVERIFY(image.clusterOffset(geo.clusterCount + 1) + geo.bytesPerCluster <= geo.volumeEnd);
        QVERIFY(image.findEntry(geo.rootCluster, "ROM        "));
        image.close();
        image.close();
        QVERIFY(!fixture.writtenSinceBackdate());
    }

    // Hand edits of mkfs.fat volumes: every refusal of open, and where it finds the volume.
    void openEdited_data()
    {
        QTest::addColumn<VolumeSpec>("spec");
        QTest::addColumn<Patches>("patches");
        QTest::addColumn<qint64>("truncateBy");
        QTest::addColumn<QString>("expectedError");
        QTest::addColumn<quint64>("expectedOffset");

        const quint64 mbrVolume = 2048 * 512;
        const qint64 entry0 = 446;
        const qint64 entry1 = 446 + 16;
        QTest::newRow("fat-type-with-first-sector-0-skipped")
            << fat32Mbr << Patches{{entry0 + 4, "\x0c"}, {entry0 + 8, u32Bytes(0)}} << qint64(0) << QString()
            << mbrVolume;
        for (const quint8 type : {0x04, 0x06, 0x0B, 0x0C, 0x0E})
            QTest::addRow("accepted-type-%02x", type)
                << fat32Mbr << Patches{{entry1 + 4, QByteArray(1, char(type))}} << qint64(0) << QString()
                << mbrVolume;
        for (const quint8 type : {0x05, 0x0F, 0x1B, 0x1C, 0x83, 0xEE})
            QTest::addRow("refused-type-%02x", type)
                << fat32Mbr << Patches{{entry1 + 4, QByteArray(1, char(type))}} << qint64(0)
                << "Im Image wurde keine FAT-Partition (FAT16/FAT32) gefunden" << quint64(0);
        QTest::newRow("partition-beyond-end")
            << fat32Mbr << Patches{{entry1 + 8, u32Bytes(0x00FFFFFF)}} << qint64(0)
            << "Bootsektor der Partition nicht lesbar" << quint64(0);

        QTest::newRow("all-zero-sector-0")
            << fat32Bare << Patches{{0, QByteArray(512, '\0')}} << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("fat32-text-but-3-sectors-per-cluster")
            << fat32Bare << Patches{{13, "\x03"}} << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("bytes-per-sector-256") << fat32Bare << Patches{{11, QByteArray("\x00\x01", 2)}}
                                              << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("bytes-per-sector-8192") << fat32Bare << Patches{{11, QByteArray("\x00\x20", 2)}}
                                               << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("no-fats") << fat32Bare << Patches{{16, QByteArray(1, '\0')}} << qint64(0)
                                 << invalidVolume << quint64(0);
        QTest::newRow("no-reserved-sectors")
            << fat32Bare << Patches{{14, QByteArray(2, '\0')}} << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("fat32-root-cluster-1")
            << fat32Bare << Patches{{44, u32Bytes(1)}} << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("fat32-with-16-bit-fat-size") << fat32Bare << Patches{{22, QByteArray("\x01\x00", 2)}}
                                                    << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("fat32-fat-size-0")
            << fat32Bare << Patches{{36, u32Bytes(0)}} << qint64(0) << invalidVolume << quint64(0);
        QTest::newRow("total-sectors-0") << fat32Bare << Patches{{32, u32Bytes(0)}} << qint64(0)
                                         << "Ungültige Größenangaben im Bootsektor" << quint64(0);
        // 255 FATs of 0x01010102 sectors wrap to a small number in 32 bits.
        QTest::newRow("fat-size-wrapping-32-bits")
            << fat32Bare << Patches{{16, "\xff"}, {36, u32Bytes(0x01010102)}} << qint64(0)
            << "Ungültige Größenangaben im Bootsektor" << quint64(0);
        QTest::newRow("truncated-by-one-byte")
            << fat32Mbr << Patches{} << qint64(1) << "Das Image ist kürzer als die Partition (beschädigt?)"
            << quint64(0);
        QTest::newRow("fat-too-small-for-clusters") << fat32Bare << Patches{{36, u32Bytes(16)}} << qint64(0)
                                                    << "FAT konnte nicht gelesen werden" << quint64(0);
    }
    void openEdited()
    {
        QFETCH(VolumeSpec, spec);
        QFETCH(Patches, patches);
        QFETCH(qint64, truncateBy);
        QFETCH(QString, expectedError);
        QFETCH(quint64, expectedOffset);

        FatFixture fixture;
        QVERIFY2(fixture.create(spec), qPrintable(fixture.error()));
        for (auto it = patches.cbegin(); it != patches.cend(); ++it) {
            const quint64 base = it.key() < 446 ? fixture.offset() : 0; // boot fields or MBR entries
            QVERIFY(fixture.write(base + quint64(it.key()), it.value()));
        }
        if (truncateBy != 0)
            QVERIFY(QFile::resize(fixture.image(), QFileInfo(fixture.image()).size() - truncateBy));
        QVERIFY(fixture.backdate());

        FatImage image;
        QString error = QStringLiteral("untouched");
        const bool opened = image.open(fixture.image(), &error);
        if (expectedError.isEmpty()) {
            QVERIFY2(opened, qPrintable(error));
            QCOMPARE(error, QStringLiteral("untouched"));
            QCOMPARE(image.geometry().partitionOffset, expectedOffset);
        } else {
            QVERIFY(!opened);
            QCOMPARE(error, expectedError);
            QCOMPARE(image.writeFile("Rom", "rom.bin", "x", &error), false);
            QCOMPARE(error, QStringLiteral("Image ist nicht geöffnet"));
        }
        image.close();
        QVERIFY(!fixture.writtenSinceBackdate());
    }

    void fatTypeFromClusterCount_data()
    {
        QTest::addColumn<quint32>("clusters");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("4084-is-fat12") << 4084u << "FAT12 wird nicht unterstützt (nur FAT16 und FAT32)";
        QTest::newRow("4085") << 4085u << QString();
        QTest::newRow("65524") << 65524u << QString();
        QTest::newRow("65525-too-many") << 65525u << "Ungültige Clusteranzahl für FAT16";
    }
    void fatTypeFromClusterCount()
    {
        QFETCH(quint32, clusters);
        QFETCH(QString, expectedError);
        QTemporaryDir dir;
        const QString path = dir.filePath("fat16.img");
        quint32 totalSectors = 0;
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(fat16BootSector(clusters, &totalSectors)) == 512);
        QVERIFY(file.resize(qint64(totalSectors) * 512));
        file.close();

        FatImage image;
        QString error;
        const bool opened = image.open(path, &error);
        QCOMPARE(error, expectedError);
        QCOMPARE(opened, expectedError.isEmpty());
        if (opened) {
            QCOMPARE(image.geometry().fatType, 16u);
            QCOMPARE(image.geometry().clusterCount, clusters);
        }
    }

    // FAT32 is decided by the layout, not the cluster count.
    void fat32WithFewClustersOpens()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{32, 512, 8, 8 * 1024, 0, 0, false}), qPrintable(fixture.error()));
        FatImage image;
        QString error;
        QVERIFY2(image.open(fixture.image(), &error), qPrintable(error));
        QCOMPARE(image.geometry().fatType, 32u);
        QVERIFY(image.geometry().clusterCount < 4085);
    }

    void openRefusesFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size"); // -1: no such file
        QTest::addColumn<QString>("expectedStart");
        QTest::newRow("missing") << "missing.img" << qint64(-1) << "Image kann nicht geöffnet werden: ";
        QTest::newRow("empty") << "empty.img" << qint64(0) << "Image ist zu klein";
        QTest::newRow("511-bytes") << "short.img" << qint64(511) << "Image ist zu klein";
    }
    void openRefusesFiles()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        QFETCH(QString, expectedStart);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        if (size >= 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(size));
        }
        FatImage image;
        QString error;
        QVERIFY(!image.open(path, &error));
        if (size >= 0) {
            QCOMPARE(error, expectedStart);
        } else {
            QVERIFY2(error.startsWith(expectedStart) && error.size() > expectedStart.size(),
                     qPrintable(error));
            QVERIFY2(!QFile::exists(path), "open created the image file");
        }
    }

    // A FAT16 partition followed by a second one; the boot sector claims shortBy sectors more than
    // the FAT partition has. Such a volume is refused; a ROM written into one that fits its
    // partition leaves the second partition's bytes as they were.
    void volumePastItsPartition_data()
    {
        QTest::addColumn<quint32>("shortBy");
        QTest::newRow("ends-where-the-next-begins") << 0u;
        QTest::newRow("one-sector-into-the-next") << 1u;
        QTest::newRow("half-into-the-next") << 4096u;
    }
    void volumePastItsPartition()
    {
        QFETCH(quint32, shortBy);
        FatFixture fixture;
        const VolumeSpec spec{16, 512, 1, 4 * 1024, 2048, 0};
        QVERIFY2(fixture.create(spec), qPrintable(fixture.error()));
        const quint32 volumeSectors = 4 * 1024 * 2;
        const quint32 secondStart = 2048 + volumeSectors - shortBy;
        const quint32 secondSectors = shortBy + 2048;
        QVERIFY(QFile::resize(fixture.image(), qint64(secondStart + secondSectors) * 512));
        const qint64 entry1 = 446 + 16;
        QByteArray entry2(16, '\0');
        entry2[4] = char(0x83);
        putU32(entry2, 8, secondStart);
        putU32(entry2, 12, secondSectors);
        const QByteArray second = randomBytes(qint64(secondSectors) * 512);
        QVERIFY(fixture.write(entry1 + 12, u32Bytes(volumeSectors - shortBy)));
        QVERIFY(fixture.write(entry1 + 16, entry2));
        QVERIFY(fixture.write(quint64(secondStart) * 512, second));

        FatImage image;
        QString error;
        const bool opened = image.open(fixture.image(), &error);
        const QByteArray rom = randomBytes(7 * 512 * 1024); // reaches the last part of the volume
        if (shortBy == 0) {
            QVERIFY2(opened, qPrintable(error));
            QVERIFY2(image.writeFile("Rom", "rom.bin", rom, &error), qPrintable(error));
            image.close();
            QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
            QCOMPARE(fixture.mcopyOut("::Rom/rom.bin"), rom);
        } else {
            QVERIFY(!opened);
            QCOMPARE(error,
                     QStringLiteral("Im Image reicht das FAT-Dateisystem über seine Partition hinaus"));
            QCOMPARE(image.writeFile("Rom", "rom.bin", rom, &error), false);
        }
        QVERIFY(fixture.read(quint64(secondStart) * 512, second.size()) == second);
    }

    // Reads and writes through the primitives never leave the volume.
    void accessStaysInsideTheVolume()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(fat32Mbr), qPrintable(fixture.error()));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        QVERIFY(fixture.backdate());
        const FatGeometry geo = image.geometry();
        QVERIFY(image.readAt(0, 512).isEmpty()); // the MBR lies before the volume
        QVERIFY(!image.writeAt(geo.partitionOffset - 1, QByteArray(1, 'x')));
        QVERIFY(!image.writeAt(geo.volumeEnd - 1, QByteArray(2, 'x')));
        QVERIFY(!image.writeAt(~quint64(0), QByteArray(2, 'x'))); // no wrap-around
        QVERIFY(image.readCluster(geo.clusterCount + 2).isEmpty());
        QVERIFY(image.readCluster(1).isEmpty());
        QCOMPARE(image.readAt(geo.volumeEnd - 10, 10).size(), 10);
        QCOMPARE(image.fatEntry(0xFFFFFFF0u), geo.endOfChainMark); // past the FAT: an end, not a read
        image.close();
        QVERIFY(!fixture.writtenSinceBackdate());
    }
};

QTEST_GUILESS_MAIN(TestFatVolume)
#include "tst_fatvolume.moc"
