// SPDX-License-Identifier: GPL-3.0-or-later
#include "fatfixture.h"
#include "fatimage.h"
#include "faultydisk.h"
#include "testfiles.h"

#include <QDateTime>
#include <QTest>

namespace {

// Every FAT copy of the volume as it is on disk.
QList<QByteArray> fatCopies(const FatFixture &fixture, const FatGeometry &geo)
{
    QList<QByteArray> copies;
    const quint64 size = quint64(geo.sectorsPerFat) * geo.bytesPerSector;
    for (quint32 i = 0; i < geo.fatCount; ++i)
        copies << fixture.read(geo.partitionOffset + (geo.reservedSectors + quint64(i) * geo.sectorsPerFat) *
                                                         geo.bytesPerSector,
                               qint64(size));
    return copies;
}

quint32 freeClusters(FatImage &image)
{
    quint32 free = 0;
    for (quint32 n = 2; image.isValidCluster(n); ++n)
        free += image.fatEntry(n) == 0 ? 1 : 0;
    return free;
}

// The 32-byte entry of a name in a directory, read from disk.
QByteArray entryOf(FatImage &image, const QString &dir, const QByteArray &shortName,
                   EntryLocation *where = nullptr)
{
    quint32 cluster = 0;
    QByteArray entry;
    if (!image.resolveDir(dir, &cluster) || !image.findEntry(cluster, shortName, where, &entry))
        return QByteArray();
    return entry;
}

// Empty files' entries, to fill directory slots without mtools.
QByteArray emptyFileEntries(int count)
{
    QByteArray entries;
    for (int i = 0; i < count; ++i)
        entries += QStringLiteral("FILL%1BIN").arg(i, 4, 10, QLatin1Char('0')).toLatin1() + char(0x20) +
                   QByteArray(20, '\0');
    return entries;
}

quint32 firstClusterOf(const QByteArray &entry)
{
    return quint32(u16(entry, 20)) << 16 | u16(entry, 26);
}

const VolumeSpec smallFat32{32, 512, 1, 40 * 1024, 2048, 0};

// Puts the fixture's image into the backing file of a FUSE file made in folder, which then serves it.
bool serveThroughFuse(const FatFixture &fixture, const QTemporaryDir &folder)
{
    const QByteArray image = fixture.read(0, qint64(fixture.volumeSize()));
    QFile backing(folder.filePath("faultydisk.data"));
    return backing.open(QIODevice::ReadWrite) && backing.write(image) == image.size();
}

// Makes the fixture's image what the FUSE file holds now, for the fixture's tools.
bool takeBackFromFuse(const FatFixture &fixture, const QTemporaryDir &folder)
{
    return QFile::remove(fixture.image()) && QFile::copy(folder.filePath("faultydisk.data"), fixture.image());
}

} // namespace

class TestFatWrite : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { REQUIRE_FAT_TOOLS(); }

    // New files on every kind of volume: the standard tools accept the result and read the
    // bytes back under the lower-case names; every FAT copy is identical.
    void writesNewFiles_data() { FatFixture::addVolumeRows(); }
    void writesNewFiles()
    {
        QFETCH(VolumeSpec, spec);
        FatFixture fixture;
        QVERIFY2(fixture.create(spec), qPrintable(fixture.error()));
        const QByteArray rom = randomBytes(512 * 1024);
        const QByteArray ext = randomBytes(1000);

        FatImage image;
        QString error = QStringLiteral("untouched");
        QVERIFY2(image.open(fixture.image(), &error), qPrintable(error));
        QVERIFY2(image.writeFile("Rom", "rom.bin", rom, &error), qPrintable(error));
        QVERIFY2(image.writeFile("Rom", "ext.bin", ext, &error), qPrintable(error));
        QVERIFY2(image.writeFile("", "README.TXT", "hello", &error), qPrintable(error));
        QCOMPARE(error, QStringLiteral("untouched"));
        const FatGeometry geo = image.geometry();
        image.close();

        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
        QCOMPARE(fixture.list("::Rom"), QStringList({"rom.bin", "ext.bin"}));
        QCOMPARE(fixture.mcopyOut("::Rom/rom.bin"), rom);
        QCOMPARE(fixture.mcopyOut("::Rom/ext.bin"), ext);
        QCOMPARE(fixture.mcopyOut("::README.TXT"), QByteArray("hello"));
        const QList<QByteArray> copies = fatCopies(fixture, geo);
        QCOMPARE(copies.size(), 2);
        QVERIFY(copies[0] == copies[1]);
    }

    // How many clusters a size takes, and that the tail of the last one is zeroed.
    void clusterUse_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("clusters");
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("one-byte") << 1 << 1;
        QTest::newRow("one-cluster") << 2048 << 1;
        QTest::newRow("one-cluster-and-a-byte") << 2049 << 2;
    }
    void clusterUse()
    {
        QFETCH(int, size);
        QFETCH(int, clusters);
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{32, 512, 4, 160 * 1024, 0, 0}), qPrintable(fixture.error()));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        // Dirt in the free clusters shows whether the padding was written.
        const quint32 freeBefore = freeClusters(image);
        QVERIFY(fixture.write(image.clusterOffset(4), QByteArray(8192, '\xAA')));
        const QByteArray data = randomBytes(size);
        QVERIFY(image.writeFile("Rom", "rom.bin", data));

        QCOMPARE(freeClusters(image), freeBefore - quint32(clusters));
        const QByteArray entry = entryOf(image, "Rom", "ROM     BIN");
        QCOMPARE(u32(entry, 28), quint32(size));
        const QList<quint32> chain = image.chain(firstClusterOf(entry));
        QCOMPARE(chain.size(), clusters);
        if (clusters == 0)
            QCOMPARE(firstClusterOf(entry), 0u);
        else
            QCOMPARE(image.fatEntry(chain.last()), 0x0FFFFFFFu);
        QByteArray onDisk;
        for (const quint32 cluster : chain)
            onDisk += image.readCluster(cluster);
        QCOMPARE(onDisk, data + QByteArray(clusters * 2048 - size, '\0'));
        image.close();
        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
        QCOMPARE(fixture.mcopyOut("::Rom/rom.bin"), data);
    }

    // Replacing keeps the entry's place, name, case byte and creation stamps; the attribute
    // becomes archive; a mixed-case name may replace but not create.
    void replacesExistingFile()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(smallFat32), qPrintable(fixture.error()));
        QVERIFY(fixture.mcopyIn("first", "::Rom/OTHER.BIN"));
        QVERIFY(fixture.mcopyIn(randomBytes(5000), "::Rom/ROM.BIN"));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        EntryLocation where;
        QByteArray old = entryOf(image, "Rom", "ROM     BIN", &where);
        old[11] = 0x21; // read-only: must not survive the replacement
        putU16(old, 14, 0x1234);
        putU16(old, 16, 0x2A43);
        putU16(old, 18, 0x2A44);
        old[13] = 77;
        QVERIFY(image.writeDirEntry(where, old));
        const quint32 freeBefore = freeClusters(image);

        QString error;
        QCOMPARE(image.writeFile("Rom", "New.bin", "x", &error), false);
        QCOMPARE(error,
                 QStringLiteral("\"New.bin\": gemischte Groß-/Kleinschreibung bräuchte lange Dateinamen, "
                                "das wird nicht unterstützt"));
        const QByteArray data = randomBytes(700);
        QVERIFY2(image.writeFile("Rom", "Rom.bin", data, &error), qPrintable(error));

        EntryLocation now;
        const QByteArray entry = entryOf(image, "Rom", "ROM     BIN", &now);
        QCOMPARE(now.cluster, where.cluster);
        QCOMPARE(now.offset, where.offset);
        QCOMPARE(entry.left(11), old.left(11));
        QCOMPARE(entry.mid(12, 8), old.mid(12, 8)); // case byte, creation stamps, access date
        QCOMPARE(int(entry[11]), 0x20);
        QCOMPARE(u32(entry, 28), 700u);
        QVERIFY(u16(entry, 24) >= 0x2A43); // written today, not in 2001
        QCOMPARE(freeClusters(image), freeBefore + 10 - 2);
        image.close();
        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
        QCOMPARE(fixture.list("::Rom"), QStringList({"OTHER.BIN", "ROM.BIN"}));
        QCOMPARE(fixture.mcopyOut("::Rom/ROM.BIN"), data);
        QCOMPARE(fixture.mcopyOut("::Rom/OTHER.BIN"), QByteArray("first"));
    }

    // A full FAT32 directory grows by one zeroed cluster linked at its end.
    void growsFullFat32Directory()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(smallFat32), qPrintable(fixture.error()));
        for (int i = 0; i < 14; ++i) // with "." and "..": the 16 slots of one cluster
            QVERIFY(fixture.mcopyIn("x", QStringLiteral("::Rom/F%1.BIN").arg(i)));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        quint32 rom = 0;
        QVERIFY(image.resolveDir("Rom", &rom));
        QCOMPARE(image.chain(rom).size(), 1);
        QVERIFY(
            fixture.write(image.clusterOffset(rom + 1), QByteArray(512, '\x55'))); // dirt where it will grow
        QString error;
        QVERIFY2(image.writeFile("Rom", "rom.bin", "data", &error), qPrintable(error));

        const QList<quint32> chain = image.chain(rom);
        QCOMPARE(chain.size(), 2);
        EntryLocation where;
        QVERIFY(!entryOf(image, "Rom", "ROM     BIN", &where).isEmpty());
        QCOMPARE(where.cluster, chain[1]);
        QCOMPARE(where.offset, 0u);
        QCOMPARE(image.readCluster(chain[1]).mid(32), QByteArray(480, '\0'));
        image.close();
        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
        QCOMPARE(fixture.list("::Rom").size(), 15);
        QCOMPARE(fixture.mcopyOut("::Rom/rom.bin"), QByteArray("data"));
    }

    // The fixed FAT16 root cannot grow: a full one is refused, a deleted slot in it is reused.
    void fullFat16Root_data()
    {
        QTest::addColumn<bool>("deleteOne");
        QTest::newRow("full") << false;
        QTest::newRow("one-deleted") << true;
    }
    void fullFat16Root()
    {
        QFETCH(bool, deleteOne);
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{16, 512, 1, 20 * 1024, 0, 16}), qPrintable(fixture.error()));
        for (int i = 0; i < 14; ++i) // with Rom (a long-name and a short entry): 16, one sector
            QVERIFY(fixture.mcopyIn("x", QStringLiteral("::F%1.BIN").arg(i)));
        if (deleteOne)
            QVERIFY(fixture.mdel("::F7.BIN"));
        const QByteArray before = fixture.sha256();
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        QCOMPARE(image.geometry().rootEntryCount, 16u);
        const quint64 deletedSlot = image.geometry().rootDirOffset + 9 * 32; // Rom (2), F0 … F6, F7
        QString error;
        const bool written = image.writeFile("", "new.bin", "new", &error);
        QCOMPARE(written, deleteOne);
        image.close();
        if (!deleteOne) {
            QCOMPARE(error, QStringLiteral("Das Wurzelverzeichnis ist voll (bei FAT16 nicht erweiterbar)"));
            QCOMPARE(fixture.sha256(), before);
            return;
        }
        QCOMPARE(fixture.read(deletedSlot, 11), QByteArray("NEW     BIN"));
        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
        QVERIFY(fixture.list("::").contains("new.bin"));
        QCOMPARE(fixture.mcopyOut("::new.bin"), QByteArray("new"));
    }

    // On a nearly full volume a replacement fits only with the old file's clusters; a file
    // that does not fit leaves the image as it was, and the next write still works.
    void nearlyFullVolume()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{16, 512, 4, 20 * 1024, 2048, 0}), qPrintable(fixture.error()));
        QVERIFY(fixture.mcopyIn(randomBytes(512 * 1024), "::Rom/rom.bin"));
        quint32 free = 0;
        {
            FatImage probe;
            QVERIFY(probe.open(fixture.image()));
            free = freeClusters(probe);
        }
        const int fillerClusters = int(free) - 200; // 400 KiB stay free
        QVERIFY(fixture.mcopyIn(randomBytes(fillerClusters * 2048), "::FILLER.BIN"));
        const QByteArray before = fixture.sha256();

        FatImage image;
        QVERIFY(image.open(fixture.image()));
        QString error;
        QCOMPARE(image.writeFile("Rom", "ext.bin", randomBytes(500 * 1024), &error), false);
        QCOMPARE(error, QStringLiteral("Nicht genug freier Platz im Image für ext.bin (512000 Bytes)"));
        QCOMPARE(image.writeFile("Rom", "rom.bin", randomBytes(2 * 1024 * 1024), &error), false);
        QCOMPARE(error, QStringLiteral("Nicht genug freier Platz im Image für rom.bin (2097152 Bytes)"));
        QCOMPARE(fixture.sha256(), before);
        QCOMPARE(freeClusters(image), 200u); // the freed old chain is back in use in memory

        const QByteArray rom = randomBytes(900 * 1024);
        QVERIFY2(image.writeFile("Rom", "rom.bin", rom, &error), qPrintable(error));
        image.close();
        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
        QCOMPARE(fixture.mcopyOut("::Rom/rom.bin"), rom);
    }

    // FAT32 bookkeeping: the FSInfo hints are up to date afterwards, and the top four bits of
    // every entry touched (freed or allocated) are kept.
    void fat32Bookkeeping()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(smallFat32), qPrintable(fixture.error()));
        QVERIFY(fixture.mcopyIn(randomBytes(3 * 512), "::Rom/rom.bin"));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        const FatGeometry geo = image.geometry();
        const QList<quint32> oldChain = image.chain(firstClusterOf(entryOf(image, "Rom", "ROM     BIN")));
        QCOMPARE(oldChain.size(), 3);
        const quint64 fat0 = geo.partitionOffset + quint64(geo.reservedSectors) * geo.bytesPerSector;
        // Mark the old chain and the next free clusters in the top bits of every FAT copy.
        const quint32 lastUsed = oldChain.last();
        for (quint32 copy = 0; copy < geo.fatCount; ++copy) {
            const quint64 base = fat0 + quint64(copy) * geo.sectorsPerFat * geo.bytesPerSector;
            for (quint32 n = oldChain.first(); n <= lastUsed + 8; ++n) {
                QByteArray raw = fixture.read(base + n * 4, 4);
                putU32(raw, 0, u32(raw, 0) | 0xA0000000u);
                QVERIFY(fixture.write(base + n * 4, raw));
            }
        }
        QVERIFY(image.open(fixture.image()));
        QVERIFY(image.writeFile("Rom", "rom.bin", randomBytes(6 * 512)));
        QVERIFY(image.writeFile("Rom", "ext.bin", randomBytes(2 * 512)));
        image.close();

        const QList<QByteArray> copies = fatCopies(fixture, geo);
        QVERIFY(copies[0] == copies[1]);
        for (quint32 n = oldChain.first(); n <= lastUsed + 8; ++n)
            QCOMPARE(u32(copies[0], int(n * 4)) & 0xF0000000u, 0xA0000000u);
        const QByteArray fsInfo =
            fixture.read(geo.partitionOffset + geo.fsInfoSector * geo.bytesPerSector, 512);
        QVERIFY(image.open(fixture.image()));
        QCOMPARE(image.chain(firstClusterOf(entryOf(image, "Rom", "ROM     BIN"))).size(), 6);
        QCOMPARE(u32(fsInfo, 488), freeClusters(image));
        quint32 firstFree = 2;
        while (image.fatEntry(firstFree) != 0)
            ++firstFree;
        QCOMPARE(u32(fsInfo, 492), firstFree);
    }

    // The FSInfo hints alone: fsck.fat finds nothing to fix.
    void fsInfoIsClean()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(smallFat32), qPrintable(fixture.error()));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        QVERIFY(image.writeFile("Rom", "rom.bin", randomBytes(100)));
        image.close();
        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
    }

    // Broken chains on disk: a looping file chain is freed once, a looping directory chain
    // is cut when the directory grows, and cluster numbers past the end are never followed.
    void brokenChains_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<QString>("expectedError");
        QTest::addColumn<bool>("fsckCleanAfter");
        QTest::newRow("file-chain-loops") << "file-loop" << QString() << true;
        QTest::newRow("directory-chain-loops") << "dir-loop" << QString() << true;
        QTest::newRow("file-starts-past-the-end") << "file-past-end" << QString() << false;
        QTest::newRow("directory-starts-past-the-end") << "dir-past-end"
                                                       << "Verzeichnis nicht lesbar" << false;
        // The cut-off rest of Rom stays lost, as it was before.
        QTest::newRow("directory-chain-runs-past-the-end") << "dir-link-past-end" << QString() << false;
    }
    void brokenChains()
    {
        QFETCH(QString, damage);
        QFETCH(QString, expectedError);
        QFETCH(bool, fsckCleanAfter);
        FatFixture fixture;
        QVERIFY2(fixture.create(smallFat32), qPrintable(fixture.error()));
        for (int i = 0; i < 14; ++i)
            QVERIFY(fixture.mcopyIn("x", QStringLiteral("::Rom/F%1.BIN").arg(i)));
        QVERIFY(fixture.mcopyIn(randomBytes(4 * 512), "::Rom/ROM.BIN")); // second cluster of Rom

        FatImage image;
        QVERIFY(image.open(fixture.image()));
        const FatGeometry geo = image.geometry();
        quint32 rom = 0;
        QVERIFY(image.resolveDir("Rom", &rom));
        EntryLocation where;
        QByteArray entry = entryOf(image, "Rom", "ROM     BIN", &where);
        const QList<quint32> fileChain = image.chain(firstClusterOf(entry));
        const QList<quint32> dirChain = image.chain(rom);
        QCOMPARE(dirChain.size(), 2);
        const quint32 pastEnd = geo.clusterCount + 2;
        if (damage == "file-loop") {
            image.setFatEntry(fileChain.last(), fileChain.first());
        } else if (damage == "dir-loop") {
            QVERIFY(fixture.write(image.clusterOffset(dirChain[1]) + 32, emptyFileEntries(15))); // fill it
            image.setFatEntry(dirChain.last(), dirChain.first());
        } else if (damage == "file-past-end") {
            putU16(entry, 26, quint16(pastEnd));
            putU16(entry, 20, quint16(pastEnd >> 16));
            QVERIFY(image.writeDirEntry(where, entry));
        } else if (damage == "dir-past-end") {
            QByteArray romEntry;
            EntryLocation romAt;
            QVERIFY(image.findEntry(geo.rootCluster, "ROM        ", &romAt, &romEntry));
            putU16(romEntry, 26, quint16(0xFFF0));
            putU16(romEntry, 20, quint16(0x0FFF));
            QVERIFY(image.writeDirEntry(romAt, romEntry));
        } else if (damage == "dir-link-past-end") {
            QVERIFY(fixture.write(image.clusterOffset(dirChain[1]) + 32, emptyFileEntries(15)));
            image.setFatEntry(dirChain.first(), 0x0FFFFFF0); // Rom ends after its first cluster
        }
        QVERIFY(image.flushFat());
        const QByteArray before = fixture.sha256();

        QString error;
        const QByteArray data = randomBytes(3000);
        const bool written = image.writeFile("Rom", "new.bin", data, &error) &&
                             image.writeFile("Rom", "ROM.BIN", data, &error);
        QCOMPARE(error, expectedError);
        QCOMPARE(written, expectedError.isEmpty());
        if (!written) {
            QCOMPARE(fixture.sha256(), before);
            return;
        }
        QCOMPARE(image.chain(rom).size(), damage == "dir-loop" ? 3 : 2); // grown only when full
        image.close();
        if (fsckCleanAfter) {
            QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
            QCOMPARE(fixture.mcopyOut("::Rom/new.bin"), data);
            QCOMPARE(fixture.mcopyOut("::Rom/ROM.BIN"), data);
        }
    }

    // A cross-linked FAT: freeing or filling a cluster that the root, Rom or another of its files
    // also holds would destroy them, so the write is refused and the image stays as it was.
    void sharedClusters_data()
    {
        QTest::addColumn<QString>("sharer");
        QTest::addColumn<QString>("file"); // the file written into Rom
        QTest::newRow("root runs into the file") << "root"
                                                 << "ROM.BIN";
        QTest::newRow("another file runs into its tail") << "other"
                                                         << "ROM.BIN";
        QTest::newRow("Rom runs into the file") << "rom"
                                                << "ROM.BIN";
        QTest::newRow("another file runs into a free cluster") << "free"
                                                               << "NEW.BIN";
    }
    void sharedClusters()
    {
        QFETCH(QString, sharer);
        QFETCH(QString, file);
        FatFixture fixture;
        QVERIFY2(fixture.create(smallFat32), qPrintable(fixture.error()));
        QVERIFY(fixture.mcopyIn(randomBytes(3 * 512), "::Rom/OTHER.BIN"));
        QVERIFY(fixture.mcopyIn(randomBytes(4 * 512), "::Rom/ROM.BIN"));

        FatImage image;
        QVERIFY(image.open(fixture.image()));
        quint32 rom = 0;
        QVERIFY(image.resolveDir("Rom", &rom));
        const QList<quint32> target = image.chain(firstClusterOf(entryOf(image, "Rom", "ROM     BIN")));
        const QList<quint32> other = image.chain(firstClusterOf(entryOf(image, "Rom", "OTHER   BIN")));
        QCOMPARE(target.size(), 4);
        if (sharer == "root")
            image.setFatEntry(image.chain(image.geometry().rootCluster).last(), target.first());
        else if (sharer == "other")
            image.setFatEntry(other.last(), target[2]);
        else if (sharer == "rom")
            image.setFatEntry(image.chain(rom).last(), target[1]);
        else
            image.setFatEntry(other.last(), target.last() + 1); // the lowest free cluster
        QVERIFY(image.flushFat());
        const QByteArray before = fixture.sha256();

        QString error;
        QVERIFY(!image.writeFile("Rom", file, randomBytes(3000), &error));

        QCOMPARE(error,
                 QStringLiteral("Das Dateisystem im Image ist beschädigt: Cluster für „Rom/%1“ gehören "
                                "schon zu einer anderen Datei oder einem Verzeichnis. Das Image wurde "
                                "nicht verändert.")
                     .arg(file));
        image.close();
        QCOMPARE(fixture.sha256(), before);
    }

    // A data write that fails with EIO (a FUSE file failing from the data clusters on) while an
    // existing file is replaced: every FAT copy stays as it was, and the FAT in memory is the one
    // on disk again, so the next write leaves a volume fsck.fat accepts.
    void failedDataWriteKeepsFat()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{}), qPrintable(fixture.error()));
        const QByteArray oldRom = randomBytes(4000);
        QVERIFY(fixture.mcopyIn(oldRom, "::Rom/rom.bin"));
        FatImage probe;
        QVERIFY(probe.open(fixture.image()));
        const FatGeometry geo = probe.geometry();
        const quint64 failFrom = probe.clusterOffset(firstClusterOf(entryOf(probe, "Rom", "ROM     BIN")));
        probe.close();

        QTemporaryDir folder;
        FaultyDisk::Options options;
        options.size = qint64(fixture.volumeSize());
        options.failAfter = qint64(failFrom);
        FaultyDisk disk(folder.path(), options);
        if (!disk.isRunning())
            QSKIP(qPrintable(disk.error()));
        QVERIFY(serveThroughFuse(fixture, folder));
        const QList<QByteArray> fatsBefore = fatCopies(fixture, geo); // same bytes as the backing file

        FatImage image;
        QString error;
        QVERIFY2(image.open(disk.file(), &error), qPrintable(error));
        QCOMPARE(image.writeFile("Rom", "rom.bin", randomBytes(3000), &error), false);
        QCOMPARE(error, QStringLiteral("Schreiben der Daten ins Image fehlgeschlagen"));
        QVERIFY2(image.writeFile("Rom", "empty.bin", QByteArray(), &error), qPrintable(error));
        image.close();

        QVERIFY(takeBackFromFuse(fixture, folder));
        QCOMPARE(fatCopies(fixture, geo), fatsBefore);
        QVERIFY2(fixture.fsckClean(), qPrintable(fixture.error()));
        QCOMPARE(fixture.list("::Rom"), QStringList({"rom.bin", "empty.bin"}));
        QCOMPARE(fixture.mcopyOut("::Rom/rom.bin"), oldRom);
    }

    // A piece of the FAT that fails to read (EIO from a FUSE file), met while clusters are
    // allocated, while the old chain is freed or while the free clusters are counted anew for
    // FSInfo: the write is refused before a byte reaches the image.
    void unreadableFatPiece_data()
    {
        QTest::addColumn<QString>("meetsItWhile");
        QTest::newRow("allocating") << "allocating";
        QTest::newRow("freeing-the-old-chain") << "freeing";
        QTest::newRow("counting-free-clusters") << "counting";
    }
    void unreadableFatPiece()
    {
        QFETCH(QString, meetsItWhile);
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{}), qPrintable(fixture.error()));
        // With 512-byte clusters, the first 64 KiB piece of a FAT32 FAT covers 8 MiB of data.
        const QByteArray pastFirstPiece = randomBytes(9 * 1024 * 1024);
        if (meetsItWhile == "freeing")
            QVERIFY(fixture.mcopyIn(pastFirstPiece, "::Rom/rom.bin"));
        FatImage probe;
        QVERIFY(probe.open(fixture.image()));
        const FatGeometry geo = probe.geometry();
        probe.close();
        if (meetsItWhile == "counting")
            QVERIFY(fixture.write(geo.fsInfoSector * 512 + 488, QByteArray(4, '\xFF'))); // count unknown
        const qint64 fat0 = qint64(geo.reservedSectors) * 512;

        QTemporaryDir folder;
        FaultyDisk::Options options;
        options.size = qint64(fixture.volumeSize());
        options.unreadableFrom = fat0 + 64 * 1024;
        options.unreadableTo = fat0 + 128 * 1024;
        FaultyDisk disk(folder.path(), options);
        if (!disk.isRunning())
            QSKIP(qPrintable(disk.error()));
        QVERIFY(serveThroughFuse(fixture, folder));
        const QByteArray before = fixture.sha256();

        FatImage image;
        QString error;
        QVERIFY2(image.open(disk.file(), &error), qPrintable(error));
        const QByteArray data = meetsItWhile == "allocating" ? pastFirstPiece : QByteArray("x");
        QCOMPARE(image.writeFile("Rom", "rom.bin", data, &error), false);
        QCOMPARE(error, QStringLiteral("FAT konnte nicht gelesen werden"));
        image.close();
        QVERIFY(takeBackFromFuse(fixture, folder));
        QCOMPARE(fixture.sha256(), before);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expectedError");
        QTest::newRow("target-is-a-directory") << ""
                                               << "rom"
                                               << "\"rom\" ist im Image ein Verzeichnis";
        QTest::newRow("no-such-directory") << "Roms"
                                           << "rom.bin"
                                           << "Das Verzeichnis \"Roms\" gibt es im Image nicht";
        QTest::newRow("bad-name") << "Rom"
                                  << "rom.bin.x"
                                  << "\"rom.bin.x\" ist kein unterstützter 8.3-Dateiname";
        QTest::newRow("long-name") << "Rom"
                                   << "kickstart.rom"
                                   << "\"kickstart.rom\" ist kein gültiger 8.3-Dateiname";
        QTest::newRow("mixed-case")
            << "Rom"
            << "Rom.bin"
            << "\"Rom.bin\": gemischte Groß-/Kleinschreibung bräuchte lange Dateinamen, das "
               "wird nicht unterstützt";
    }
    void refusals()
    {
        QFETCH(QString, dir);
        QFETCH(QString, name);
        QFETCH(QString, expectedError);
        FatFixture fixture;
        QVERIFY2(fixture.create(smallFat32), qPrintable(fixture.error()));
        const QByteArray before = fixture.sha256();
        FatImage image;
        QString error;
        QCOMPARE(image.writeFile("Rom", "rom.bin", "x", &error), false);
        QCOMPARE(error, QStringLiteral("Image ist nicht geöffnet"));
        QVERIFY(image.open(fixture.image()));
        QCOMPARE(image.writeFile(dir, name, "x", &error), false);
        QCOMPARE(error, expectedError);
        image.close();
        QCOMPARE(fixture.sha256(), before);
    }
};

QTEST_GUILESS_MAIN(TestFatWrite)
#include "tst_fatwrite.moc"
