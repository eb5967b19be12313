// SPDX-License-Identifier: GPL-3.0-or-later
#include "fatfixture.h"
#include "fatimage.h"

#include <QTest>

class TestFatDirectory : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void toShortName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("shortName");
        QTest::addColumn<int>("caseFlags");
        QTest::addColumn<bool>("mixedCase");
        QTest::addColumn<QString>("error");

        const QString invalid = QStringLiteral("\"%1\" ist kein gültiger 8.3-Dateiname");
        const QString unsupported = QStringLiteral("\"%1\" ist kein unterstützter 8.3-Dateiname");
        QTest::newRow("lower") << "rom.bin" << QByteArray("ROM     BIN") << 0x18 << false << QString();
        QTest::newRow("upper") << "ROM.BIN" << QByteArray("ROM     BIN") << 0 << false << QString();
        QTest::newRow("mixed-base") << "Rom" << QByteArray("ROM        ") << 0 << true << QString();
        QTest::newRow("lower-base-upper-ext")
            << "ext.BIN" << QByteArray("EXT     BIN") << 0x08 << false << QString();
        QTest::newRow("mixed-ext") << "EXT.Bin" << QByteArray("EXT     BIN") << 0 << true << QString();
        QTest::newRow("digits-underscore-hyphen")
            << "a_1-2345.x-9" << QByteArray("A_1-2345X-9") << 0x18 << false << QString();
        QTest::newRow("digits-only-no-case")
            << "12345678.123" << QByteArray("12345678123") << 0 << false << QString();
        QTest::newRow("trailing-dot") << "abc." << QByteArray("ABC        ") << 0x08 << false << QString();
        QTest::newRow("nine-characters")
            << "abcdefghi" << QByteArray() << 0 << false << invalid.arg("abcdefghi");
        QTest::newRow("long-extension") << "a.binx" << QByteArray() << 0 << false << invalid.arg("a.binx");
        QTest::newRow("empty-base") << ".bin" << QByteArray() << 0 << false << invalid.arg(".bin");
        QTest::newRow("empty") << "" << QByteArray() << 0 << false << invalid.arg("");
        // Length is checked before the characters.
        QTest::newRow("long-and-bad")
            << "a b c d e f" << QByteArray() << 0 << false << invalid.arg("a b c d e f");
        QTest::newRow("two-dots") << "a.b.c" << QByteArray() << 0 << false << unsupported.arg("a.b.c");
        QTest::newRow("blank") << "ab cd.bin" << QByteArray() << 0 << false << unsupported.arg("ab cd.bin");
        QTest::newRow("slash") << "a/b" << QByteArray() << 0 << false << unsupported.arg("a/b");
        QTest::newRow("umlaut") << "römer" << QByteArray() << 0 << false << unsupported.arg("römer");
        QTest::newRow("tilde") << "ROM~1.BIN" << QByteArray() << 0 << false << unsupported.arg("ROM~1.BIN");
    }
    void toShortName()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, shortName);
        QFETCH(int, caseFlags);
        QFETCH(bool, mixedCase);
        QFETCH(QString, error);

        QByteArray gotName = "untouched";
        quint8 gotFlags = 0xFF;
        bool gotMixed = !mixedCase;
        QString gotError = QStringLiteral("untouched");
        const bool ok = FatImage::toShortName(name, &gotName, &gotFlags, &gotMixed, &gotError);
        QCOMPARE(ok, error.isEmpty());
        if (ok) {
            QCOMPARE(gotName, shortName);
            QCOMPARE(int(gotFlags), caseFlags);
            QCOMPARE(gotMixed, mixedCase);
            QCOMPARE(gotError, QStringLiteral("untouched"));
        } else {
            QCOMPARE(gotError, error);
        }
    }

    void initTestCase() { REQUIRE_FAT_TOOLS(); }

    // Entries hand-written into the first cluster of Rom (FAT32, 512-byte clusters) ahead of a
    // ROM.BIN entry; whether the lookup sees ROM.BIN shows how each kind of entry is treated.
    void findEntrySkips_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<bool>("found");

        QByteArray longName(32, '\0');
        longName[0] = 0x41;
        longName[11] = 0x0F;
        QByteArray label("ROM     BIN", 11);
        label.append(char(0x08)).append(QByteArray(20, '\0'));
        QByteArray deleted = QByteArray("\xe5OM     BIN").append(char(0x20)).append(QByteArray(20, '\0'));
        QTest::newRow("long-name-entry-before") << longName << true;
        QTest::newRow("end-marker-before") << QByteArray(32, '\0') << false;
        QTest::newRow("volume-label-alike-and-deleted") << label + deleted << true;
    }
    void findEntrySkips()
    {
        QFETCH(QByteArray, before);
        QFETCH(bool, found);
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{}), qPrintable(fixture.error()));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        quint32 rom = 0;
        QVERIFY(image.resolveDir("Rom", &rom));
        QByteArray entry = QByteArray("ROM     BIN").append(char(0x20)).append(QByteArray(20, '\0'));
        const quint64 slot = image.clusterOffset(rom) + 64; // after "." and ".."
        QVERIFY(fixture.write(slot, before + entry));

        EntryLocation location;
        QByteArray got;
        QCOMPARE(image.findEntry(rom, "ROM     BIN", &location, &got), found);
        if (found) {
            QCOMPARE(location.cluster, rom);
            QCOMPARE(location.offset, quint32(64 + before.size()));
            QCOMPARE(got, entry);
        }
        // A deleted entry is not found under its remaining bytes either.
        QVERIFY(!image.findEntry(rom, QByteArray("\xe5OM     BIN")));
    }

    // Rom spans three clusters; a name in the third is found there, and a loop closing the chain
    // back to its start ends the walk.
    void findEntryWalksChains()
    {
        FatFixture fixture;
        QVERIFY2(fixture.create(VolumeSpec{}), qPrintable(fixture.error()));
        for (int i = 0; i < 40; ++i)
            QVERIFY2(fixture.mcopyIn("x", QStringLiteral("::Rom/F%1.BIN").arg(i)),
                     qPrintable(fixture.error()));
        FatImage image;
        QVERIFY(image.open(fixture.image()));
        quint32 rom = 0;
        QVERIFY(image.resolveDir("Rom", &rom));
        const QList<quint32> clusters = image.chain(rom);
        QCOMPARE(clusters.size(), 3); // 42 entries of 16 per cluster

        EntryLocation location;
        QVERIFY(image.findEntry(rom, "F39     BIN", &location));
        QCOMPARE(location.cluster, clusters[2]);
        QCOMPARE(location.offset, quint32((41 - 32) * 32));

        image.setFatEntry(clusters[2], clusters[0]);
        QCOMPARE(image.chain(rom), clusters);
        QVERIFY(!image.findEntry(rom, "MISSING    "));
        QVERIFY(image.findEntry(rom, "F39     BIN"));
    }

    void resolveDir_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isRom");
        QTest::addColumn<QString>("error");
        QTest::newRow("Rom") << "Rom" << true << QString();
        QTest::newRow("ROM") << "ROM" << true << QString();
        QTest::newRow("rom") << "rom" << true << QString();
        QTest::newRow("root") << "" << false << QString();
        QTest::newRow("missing") << "Roms" << false << "Das Verzeichnis \"Roms\" gibt es im Image nicht";
        QTest::newRow("a-file") << "File.txt" << false << "\"File.txt\" ist im Image kein Verzeichnis";
        QTest::newRow("bad-name") << "R m" << false << "\"R m\" ist kein unterstützter 8.3-Dateiname";
    }
    void resolveDir()
    {
        QFETCH(QString, name);
        QFETCH(bool, isRom);
        QFETCH(QString, error);
        for (const VolumeSpec &spec : {VolumeSpec{16, 512, 4, 40 * 1024, 0, 0}, VolumeSpec{}}) {
            FatFixture fixture;
            QVERIFY2(fixture.create(spec), qPrintable(fixture.error()));
            QVERIFY(fixture.mcopyIn("text", "::FILE.TXT"));
            FatImage image;
            QVERIFY(image.open(fixture.image()));
            QByteArray romEntry;
            QVERIFY(image.findEntry(image.geometry().rootCluster, "ROM        ", nullptr, &romEntry));

            quint32 cluster = 0xDEAD;
            QString gotError;
            QCOMPARE(image.resolveDir(name, &cluster, &gotError), error.isEmpty());
            QCOMPARE(gotError, error);
            if (isRom)
                QCOMPARE(cluster, quint32(u16(romEntry, 20)) << 16 | u16(romEntry, 26));
            else if (error.isEmpty())
                QCOMPARE(cluster, image.geometry().rootCluster);
        }
    }
};

QTEST_GUILESS_MAIN(TestFatDirectory)
#include "tst_fatdirectory.moc"
