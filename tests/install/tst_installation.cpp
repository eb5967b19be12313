// SPDX-License-Identifier: GPL-3.0-or-later
// The installation job end to end, observed only through its signals: image from the local HTTP
// server or a local file, a loop device shown as a removable card, the write helper (this
// executable with "--write-helper"), the working folder in a private cache folder.
#include "fatimage.h"
#include "germannumber.h"
#include "installation.h"
#include "installsuite.h"
#include "mounts.h"
#include "testfiles.h"
#include "windowfixture.h"
#include "writehelper.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <csignal>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Everything one run reported.
struct Run
{
    explicit Run(Installation &job)
        : steps(&job, &Installation::stepChanged), logs(&job, &Installation::logLine),
          ends(&job, &Installation::finished)
    {}

    bool waitForEnd(int timeoutMs = 120000)
    {
        return QTest::qWaitFor([&] { return ends.size() > 0; }, timeoutMs);
    }
    QStringList log() const
    {
        QStringList lines;
        for (const QList<QVariant> &line : logs)
            lines << line.at(0).toString();
        return lines;
    }
    QStringList stepTexts() const
    {
        QStringList texts;
        for (const QList<QVariant> &step : steps)
            texts << step.at(1).toString();
        return texts;
    }
    QList<Installation::Step> stepList() const
    {
        QList<Installation::Step> list;
        for (const QList<QVariant> &step : steps)
            list << step.at(0).value<Installation::Step>();
        return list;
    }
    bool ok() const { return ends.size() == 1 && ends.first().at(0).toBool(); }
    QString text() const { return ends.isEmpty() ? QString() : ends.first().at(1).toString(); }

    QSignalSpy steps;
    QSignalSpy logs;
    QSignalSpy ends;
};

} // namespace

class TestInstallation : public QObject, private InstallFixture
{
    Q_OBJECT

private:
    QString packedMissing; // why there are no packed images; empty when there are

    // A card a run left without a volume: its first MiB is zero.
    static bool firstMiBZero(const QString &card)
    {
        return readRange(card, 0, partitionOffset) == QByteArray(partitionOffset, '\0');
    }

    // Whether the card starts with what the FAT writer makes of the whole image file with the ROM
    // files, dated at some second between from and to.
    bool matchesFileInstall(const QString &card, const QString &image, const QStringList &roms,
                            const QDateTime &from, const QDateTime &to)
    {
        const QString copy = dir->filePath("reference.img");
        const qint64 size = QFileInfo(image).size();
        const QByteArray written = readRange(card, 0, size);
        for (QDateTime stamp = from.addSecs(-2); stamp <= to.addSecs(2); stamp = stamp.addSecs(1)) {
            QFile::remove(copy);
            QFile::copy(image, copy);
            QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
            FatImage fat;
            fat.setStampTime(stamp);
            bool ok = fat.open(copy);
            const QStringList names{"rom.bin", "ext.bin"};
            for (int i = 0; i < roms.size(); ++i)
                ok = ok && fat.writeFile("Rom", names.at(i), readFile(roms.at(i)));
            fat.close();
            if (ok && readFile(copy) == written)
                return true;
        }
        return false;
    }

    // The drive as the listing shows it now.
    static DriveInfo listed(const QString &path) { return freshDrive(listDrives(), path); }
    static QList<DriveInfo> listed(const QStringList &paths)
    {
        QList<DriveInfo> drives;
        for (const QString &path : paths)
            drives << listed(path);
        return drives;
    }

    // The cards of a run stopped before the go-ahead that are not left without a volume (first MiB
    // zero), described so in the report and in the end text.
    static QStringList cardsNotStopped(const Installation &job, const QString &text)
    {
        QStringList wrong;
        for (const Installation::CardReport &report : job.cardReports())
            if (report.state != Installation::CardState::Unfinished || !firstMiBZero(report.drive.path) ||
                !text.contains(report.drive.label +
                               ": nicht fertig – Die Karte ist unvollständig beschrieben"))
                wrong << report.drive.path;
        return wrong;
    }

    // Whether each card holds what a one-card install of the demo image with the ROM file gives.
    bool allMatchFileInstall(const QStringList &cards, const QDateTime &started)
    {
        const qint64 size = QFileInfo(demoPath()).size();
        if (!matchesFileInstall(cards.first(), demoPath(), {romPath}, started, QDateTime::currentDateTime()))
            return false;
        for (const QString &card : cards.mid(1))
            if (readRange(card, 0, size) != readRange(cards.first(), 0, size))
                return false;
        return true;
    }

    QString packedPath(const QString &file) const { return fixtures.filePath("packed/images/" + file); }

    // The demo image packed by the standard tools (xz by make-demo.sh), and broken packages
    // beside them in packed/.
    QString makePacked() const
    {
        for (const char *tool : {"xz", "zstd", "gzip", "bzip2", "zip"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return QString("needs %1 (packages xz-utils, zstd, gzip, bzip2, zip)").arg(tool);
        const QString folder = fixtures.filePath("packed/images");
        if (!QDir().mkpath(folder) || !QFile::copy(demoPath(), folder + "/" + demoImage) ||
            !QFile::copy(demoPath() + ".xz", folder + "/" + demoImage + ".xz"))
            return "cannot fill " + folder;
        QByteArray output;
        if (!runTool("sh",
                     {"-c",
                      "cd \"$0\" && zstd -q -k tobra-demo.img && "
                      "gzip -k tobra-demo.img && bzip2 -k tobra-demo.img && "
                      "zip -q tobra-demo.zip tobra-demo.img && "
                      "head -c $(($(stat -c %s tobra-demo.img.xz) / 2)) tobra-demo.img.xz > cut.img.xz && "
                      "zip -q two.zip tobra-demo.img tobra-demo.img.gz",
                      folder},
                     &output))
            return "packing the demo image failed: " + QString::fromLocal8Bit(output);
        return QString();
    }

    InstallRequest listedVersion(const QString &list, const QByteArray &sha, const DriveInfo &target) const
    {
        return listedVersion(list, sha, QList<DriveInfo>{target});
    }

    InstallRequest listedVersion(const QString &list, const QByteArray &sha,
                                 const QList<DriveInfo> &targets) const
    {
        InstallRequest request;
        request.version = VersionEntry{"Tobra Demo", demoImage, "", QString::fromLatin1(sha)};
        request.expectedSha256 = request.version.sha256;
        request.imageBase = server->url("/" + list + "/images/");
        request.romFile = romPath;
        request.targets = targets;
        request.counterUrl = counterUrlFor(server->url("/demo/tobra.json"));
        return request;
    }

    InstallRequest localImage(const QString &image, const DriveInfo &target) const
    {
        InstallRequest request;
        request.localImage = image;
        request.romFile = romPath;
        request.targets = {target};
        request.counterUrl = counterUrlFor(server->url("/demo/tobra.json"));
        request.countConsent = true;
        return request;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString missing = missingForDemo();
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        QVERIFY(setUpDemo());
        QVERIFY(makeDemo(fixtures.filePath("norom"), {"--no-rom-folder"}));
        packedMissing = makePacked();
    }

    void init() { QVERIFY(setUpTest()); }
    void cleanup() { tearDownTest(); }

    void refusesRequest_data()
    {
        QTest::addColumn<qint64>("romSize");  // -1 missing, -2 a folder, -3 no path
        QTest::addColumn<qint64>("extSize");  // as romSize; -4 no extension ROM wanted
        QTest::addColumn<QString>("refusal"); // <rom> and <ext> stand for the paths

        const qint64 maxRom = 8388608;
        QTest::newRow("no ROM chosen") << -3ll << -4ll << "Es ist keine ROM-Datei ausgewählt.";
        QTest::newRow("ROM missing") << -1ll << -4ll << "Die ROM-Datei „<rom>“ wurde nicht gefunden.";
        QTest::newRow("ROM is a folder") << -2ll << -4ll << "„<rom>“ ist ein Ordner, keine ROM-Datei.";
        QTest::newRow("ROM empty") << 0ll << -4ll << "Die ROM-Datei „<rom>“ ist leer.";
        QTest::newRow("ROM one byte over 8 MiB")
            << maxRom + 1 << -4ll << "Die ROM-Datei „<rom>“ ist größer als 8 MiB.";
        QTest::newRow("largest ROM") << maxRom << -4ll << QString();
        QTest::newRow("extension ROM wanted, none chosen")
            << 1024ll << -3ll << "Es ist keine Erweiterungs-ROM-Datei ausgewählt.";
        QTest::newRow("extension ROM empty")
            << 1024ll << 0ll << "Die Erweiterungs-ROM-Datei „<ext>“ ist leer.";
    }

    void refusesRequest()
    {
        QFETCH(qint64, romSize);
        QFETCH(qint64, extSize);
        QFETCH(QString, refusal);
        const auto userFile = [this](const QString &name, qint64 size) {
            const QString path = dir->filePath(name);
            if (size == -2)
                QDir().mkpath(path);
            else if (size >= 0)
                writeFile(path, QByteArray(size, 'r'));
            return size == -3 ? QString() : path;
        };
        InstallRequest request = localImage(demoPath(), listed("/dev/tobratest9"));
        request.romFile = userFile("kick.rom", romSize);
        request.useExt = extSize != -4;
        request.extFile = userFile("ext.rom", extSize);
        QCOMPARE(refusalOf(request),
                 refusal.replace("<rom>", request.romFile).replace("<ext>", request.extFile));
    }

    // A whole run onto a loop card; the working folder is gone afterwards, the user's files
    // unchanged, the counter told only about a listed version with consent.
    void installsOntoCard_data()
    {
        QTest::addColumn<bool>("local");
        QTest::addColumn<bool>("useExt");
        QTest::addColumn<QStringList>("log");

        const QString romLine = QStringLiteral("Rom/rom.bin geschrieben (0,3 MB)");
        const QString extLine = QStringLiteral("Rom/ext.bin geschrieben (0,5 MB)");
        QTest::newRow("listed version with extension ROM")
            << false << true
            << QStringList{"Download fertig, SHA-256 " + demoSha, "Prüfsumme stimmt.", romLine, extLine,
                           "Installation abgeschlossen."};
        QTest::newRow("read-only local image")
            << true << false << QStringList{romLine, "Installation abgeschlossen."};
    }

    void installsOntoCard()
    {
        QFETCH(bool, local);
        QFETCH(bool, useExt);
        QFETCH(QStringList, log);

        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        const QString image = dir->filePath("my.img");
        QVERIFY(QFile::copy(demoPath(), image));
        QVERIFY(QFile::setPermissions(image, QFile::ReadOwner));

        InstallRequest request = local ? localImage(image, listed(card->path()))
                                       : listedVersion("demo", demoSha, listed(card->path()));
        request.useExt = useExt;
        request.extFile = extPath;
        request.countConsent = true;
        Installation job;
        Run run(job);
        const QDateTime started = QDateTime::currentDateTime();
        job.start(request);
        QVERIFY(run.waitForEnd());

        QVERIFY2(run.ok(), qPrintable(run.text()));
        QCOMPARE(job.cardState(), Installation::CardState::Written);
        QCOMPARE(run.log(), log);
        QVERIFY2(matchesFileInstall(card->path(), demoPath(),
                                    useExt ? QStringList{romPath, extPath} : QStringList{romPath}, started,
                                    QDateTime::currentDateTime()),
                 "the card differs from a file install");
        // One pass from the source onto the card, then the read-back.
        using S = Installation::Step;
        QCOMPARE(run.stepList(), (QList<S>{S::Checking, S::Fetching, S::Verifying, S::Finished}));
        QCOMPARE(cardFile(card->path(), "Rom/rom.bin", dir->filePath("from-card.bin")), readFile(romPath));
        QCOMPARE(
            cardFile(card->path(), "Rom/ext.bin", dir->filePath("from-card.bin")).startsWith("mcopy failed"),
            !useExt);
        QCOMPARE(sha256Hex(readFile(image)), demoSha);
        QCOMPARE(workLeftovers(), QStringList());
        // The report goes on by itself after the end.
        QTRY_COMPARE(newRequests("POST").size(), local ? 0 : 1);
        const QList<HttpServer::Request> posts = newRequests("POST");
        if (!local)
            QCOMPARE(posts.first().body, "image=" + demoImage.toUtf8());
    }

    // Each is refused before the helper starts (the fake drive does not even exist), with its
    // text, and leaves no working folder; nothing is fetched.
    void refusesBeforeTheCard_data()
    {
        QTest::addColumn<QString>("source");       // "listed" (with the image's size), or "local"
        QTest::addColumn<QString>("targetChange"); // "", "gone", "resized"
        QTest::addColumn<QString>("text");

        const QString tooLarge = "Das Image (36,7 MB) ist größer als die Speicherkarte (20,0 MB).";
        QTest::newRow("listed image larger than the card") << "listed"
                                                           << "" << tooLarge;
        QTest::newRow("local image larger than the card") << "local"
                                                          << "" << tooLarge;
        QTest::newRow("card gone since the listing") << "local"
                                                     << "gone"
                                                     << "Die gewählte Speicherkarte /dev/tobratest8 ist "
                                                        "nicht mehr vorhanden. Bitte die Karte einstecken, "
                                                        "auf „Aktualisieren“ klicken und die Auswahl prüfen.";
        QTest::newRow("other card under the name")
            << "listed"
            << "resized"
            << "Unter /dev/tobratest9 ist inzwischen eine andere Karte (Test Card (20,0 MB) – "
               "/dev/tobratest9). "
               "Bitte auf „Aktualisieren“ klicken und die Auswahl prüfen.";
    }

    void refusesBeforeTheCard()
    {
        QFETCH(QString, source);
        QFETCH(QString, targetChange);
        QFETCH(QString, text);

        lsblk->answer(fakeDrive(20000000));
        DriveInfo target = listed("/dev/tobratest9");
        if (targetChange == "gone")
            target.path = "/dev/tobratest8";
        if (targetChange == "resized")
            target.sizeBytes += 512;
        InstallRequest request =
            source == "local" ? localImage(demoPath(), target) : listedVersion("demo", demoSha, target);
        request.version.imageSize = QFileInfo(demoPath()).size();
        Installation job;
        Run run(job);
        job.start(request);
        QVERIFY(run.waitForEnd());

        QCOMPARE(run.text(), text);
        QCOMPARE(job.outcome(), Installation::Outcome::Failed);
        QCOMPARE(run.stepList(),
                 (QList<Installation::Step>{Installation::Step::Checking, Installation::Step::Finished}));
        QCOMPARE(newRequests("GET").size(), 0);
        QCOMPARE(workLeftovers(), QStringList());
    }

    // The helper holds the card and makes its checks before the first byte is fetched: a card
    // that holds less than it claims is refused without a single request to the server.
    void refusesFakeCardBeforeTheFirstRequest()
    {
        FaultyDisk::Options options;
        options.size = cardBytes;
        options.wrapAfter = 8 * 1024 * 1024;
        FaultyCard card(dir->path(), options);
        if (!card.error().isEmpty())
            QSKIP(qPrintable(card.error()));
        showAsRemovable({card.path()});
        Installation job;
        Run run(job);
        job.start(listedVersion("demo", demoSha, listed(card.path())));
        QVERIFY(run.waitForEnd());

        QCOMPARE(job.outcome(), Installation::Outcome::Failed);
        QVERIFY2(run.text().endsWith("\nDie Karte wurde nicht verändert."), qPrintable(run.text()));
        QCOMPARE(newRequests("GET").size(), 0);
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A fault of the image found on the way, or the checksum at its end: no go-ahead, so the card is
    // left without a volume (its first MiB zero), and the text says so; only a run that never
    // wrote says the card is unchanged. What can never match leaves the cache.
    void failsDuringThePass_data()
    {
        QTest::addColumn<QString>("source"); // a list folder, or "local"
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("sha");
        QTest::addColumn<qint64>("cardSize");
        QTest::addColumn<QString>("text"); // the reason; "…" stands for any
        QTest::addColumn<QString>("card"); // the sentence on the card; empty: either

        const QString unfinished =
            "Die Karte ist unvollständig beschrieben, startet so nicht und muss neu bespielt werden.";
        const QString unchanged = "Die Karte wurde nicht verändert.";
        const QByteArray zeros(64, '0');
        const QString cut = "Die xz-Datei ist beschädigt oder unvollständig.";
        const QString large = "Das Image ist größer als die Speicherkarte (20.971.520 Bytes).";
        const qint64 small = 20 * 1024 * 1024;
        QTest::newRow("checksum mismatch")
            << "demo" << demoImage << zeros << cardBytes
            << QString("Die Prüfsumme des Images stimmt nicht mit der tobra.json überein.\nErwartet: " +
                       zeros + "\nErhalten: " + demoSha)
            << unfinished;
        QTest::newRow("image without Rom folder")
            << "norom" << demoImage << QByteArray() << cardBytes
            << "Das Verzeichnis \"Rom\" gibt es im Image nicht" << unfinished;
        QTest::newRow("image missing on the server")
            << "missing" << demoImage << QByteArray() << cardBytes
            << "Download fehlgeschlagen: Das Image wurde auf dem Server nicht gefunden (HTTP 404)"
            << unchanged;
        QTest::newRow("download larger than the card")
            << "demo" << demoImage << demoSha << small
            << "Das Image (36,7 MB) ist größer als die Speicherkarte (21,0 MB)." << QString();
        QTest::newRow("cut off without length or checksum")
            << "__q/nolength=1&truncate=20000000/demo" << demoImage << QByteArray() << cardBytes
            << "Download fehlgeschlagen: Das Image kann nicht geprüft werden: Der Server nennt keine Länge "
               "und es gibt keine Prüfsumme, ein unvollständiger Download bliebe unbemerkt."
            << QString();
        QTest::newRow("truncated xz downloaded")
            << "packed"
            << "cut.img.xz" << QByteArray() << cardBytes << cut << unfinished;
        QTest::newRow("truncated xz local") << "local"
                                            << "cut.img.xz" << QByteArray() << cardBytes << cut << unfinished;
        QTest::newRow("zip with two files local")
            << "local"
            << "two.zip" << QByteArray() << cardBytes
            << "Das ZIP-Archiv enthält 2 Dateien statt genau eines Images: „tobra-demo.img“, "
               "„tobra-demo.img.gz“"
            << unfinished;
        QTest::newRow("unpacks beyond the card downloaded")
            << "packed"
            << "tobra-demo.img.zst" << QByteArray() << small << large << unfinished;
        QTest::newRow("unpacks beyond the card local")
            << "local"
            << "tobra-demo.img.xz" << QByteArray() << small << large << unfinished;
    }

    void failsDuringThePass()
    {
        QFETCH(QString, source);
        QFETCH(QString, file);
        QFETCH(QByteArray, sha);
        QFETCH(qint64, cardSize);
        QFETCH(QString, text);
        QFETCH(QString, card);
        if (!packedMissing.isEmpty())
            QSKIP(qPrintable(packedMissing));
        const std::unique_ptr<LoopDevice> loop = attachCard(cardSize);
        QVERIFY(loop);
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        QVERIFY(QDir().mkpath(fixtures.filePath("missing/images")));
        QVERIFY(writeFile(loop->path(), QByteArray(partitionOffset, 'c')));

        InstallRequest request = source == "local" ? localImage(packedPath(file), listed(loop->path()))
                                                   : listedVersion(source, sha, listed(loop->path()));
        request.version.image = file;
        Installation job;
        Run run(job);
        job.start(request);
        QVERIFY(run.waitForEnd());

        QCOMPARE(job.outcome(), Installation::Outcome::Failed);
        const QString reason = run.text().section('\n', 0, -2);
        const QString sentence = run.text().section('\n', -1);
        QCOMPARE(reason, text);
        if (!card.isEmpty())
            QCOMPARE(sentence, card);
        QCOMPARE(job.cardState() == Installation::CardState::Unchanged,
                 sentence == "Die Karte wurde nicht verändert.");
        if (job.cardState() == Installation::CardState::Unchanged)
            QCOMPARE(readRange(loop->path(), 0, partitionOffset), QByteArray(partitionOffset, 'c'));
        else
            QVERIFY(firstMiBZero(loop->path()));
        if (sha == QByteArray(64, '0'))
            QCOMPARE(QDir(Installation::imageCache()).entryList(QDir::Files), QStringList());
        QVERIFY(!QFileInfo::exists(Installation::imageCache() + "/" + sha));
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A server that gzips the raw image on the way though asked for the bytes as stored: the
    // checksum cannot match, and the text says why.
    void encodedDownloadSaysWhyTheChecksumFails()
    {
        const std::unique_ptr<LoopDevice> loop = attachCard(cardBytes);
        QVERIFY(loop);
        if (!loop->isAttached())
            QSKIP(qPrintable(loop->error()));
        Installation job;
        Run run(job);
        job.start(listedVersion("__q/compress=1/demo", demoSha, listed(loop->path())));
        QVERIFY(run.waitForEnd());

        QVERIFY2(
            run.text().startsWith("Die Prüfsumme des Images stimmt nicht mit der tobra.json überein.\n") &&
                run.text().contains(
                    "\nDer Server hat das Image zusätzlich gepackt gesendet (Content-Encoding: "
                    "gzip); so kann die Prüfsumme nie stimmen. Bitte dem Anbieter der Liste "
                    "melden.\n"),
            qPrintable(run.text()));
        QCOMPARE(job.outcome(), Installation::Outcome::Failed);
        QVERIFY(firstMiBZero(loop->path()));
    }

    // The demonstration list offers the image packed with xz as a second version.
    void demoListOffersXzImage()
    {
        VersionList list;
        QVERIFY(parseVersionList(readFile(fixtures.filePath("demo/tobra.json")), &list));
        QCOMPARE(list.versions.size(), 2);
        QCOMPARE(list.versions.first().image, demoImage);
        QCOMPARE(list.versions.last(),
                 (VersionEntry{"Tobra Demo (xz)", demoImage + ".xz", "3.1 (Demo)",
                               QString::fromLatin1(sha256Hex(readFile(demoPath() + ".xz"))),
                               QFileInfo(demoPath()).size()}));
    }

    // A packed image, told by its content, is unpacked on the way onto the card, downloaded or
    // local; progress counts the packed bytes, the checksum is that of the file on the server.
    void installsPackedImage_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("local");
        for (const char *file : {"tobra-demo.img.xz", "tobra-demo.img.zst", "tobra-demo.img.gz",
                                 "tobra-demo.img.bz2", "tobra-demo.zip"}) {
            QTest::addRow("%s downloaded", file) << QString(file) << false;
            QTest::addRow("%s local", file) << QString(file) << true;
        }
    }

    void installsPackedImage()
    {
        QFETCH(QString, file);
        QFETCH(bool, local);
        if (!packedMissing.isEmpty())
            QSKIP(qPrintable(packedMissing));
        if (QStandardPaths::findExecutable("fsck.fat").isEmpty())
            QSKIP("needs fsck.fat (package dosfstools)");
        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        const QString packed = packedPath(file);
        const qint64 packedSize = QFileInfo(packed).size();
        const QByteArray packedSha = sha256Hex(readFile(packed));

        InstallRequest request = local ? localImage(packed, listed(card->path()))
                                       : listedVersion("packed", packedSha, listed(card->path()));
        request.version.image = file;
        request.countConsent = true;
        Installation job;
        Run run(job);
        QSignalSpy progress(&job, &Installation::progress);
        job.start(request);
        QVERIFY(run.waitForEnd());

        QVERIFY2(run.ok(), qPrintable(run.text()));
        QVERIFY(progress.contains(QVariantList{packedSize, packedSize}));
        if (!local) {
            QVERIFY(run.log().contains("Download fertig, SHA-256 " + packedSha));
            QTRY_COMPARE(newRequests("POST").size(), 1);
            QCOMPARE(newRequests("POST").first().body, "image=" + file.toUtf8());
        }
        QCOMPARE(cardFile(card->path(), "Rom/rom.bin", dir->filePath("from-card.bin")), readFile(romPath));
        QCOMPARE(readRange(card->path(), 0, partitionOffset), readRange(demoPath(), 0, partitionOffset));
        const QString partition = dir->filePath("partition.img");
        QVERIFY(writeFile(partition, readRange(card->path(), partitionOffset,
                                               QFileInfo(demoPath()).size() - partitionOffset)));
        QByteArray report;
        QVERIFY2(runTool("fsck.fat", {"-n", partition}, &report), report.constData());
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A verified download stays in the cache, alone and byte for byte as sent; the next install
    // takes it from there without a request, checking it on the way; a cached image changed by one
    // byte is found out at its end, leaves the card without a volume and the cache, and the next
    // install fetches it again.
    void reusesCachedImage()
    {
        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        const QString cached = Installation::imageCache() + "/" + demoSha;
        QVERIFY(QDir().mkpath(Installation::imageCache()));
        QVERIFY(writeFile(Installation::imageCache() + "/" + QByteArray(64, 'a'), "an older image"));

        struct Round
        {
            bool changeCache;
            bool ok;
            int imageRequests;
            QString logLine;
        };
        const QList<Round> rounds{{false, true, 1, "Download fertig, SHA-256 " + demoSha},
                                  {false, true, 0, "Prüfsumme stimmt."},
                                  {true, false, 0, "Das Image wird aus dem Cache genommen: " + cached},
                                  {false, true, 1, "Download fertig, SHA-256 " + demoSha}};
        for (const Round &round : rounds) {
            if (round.changeCache) {
                QByteArray bytes = readFile(cached);
                bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
                QVERIFY(writeFile(cached, bytes));
            }
            const int before = server->requests().size();
            Installation job;
            Run run(job);
            job.start(listedVersion("demo", demoSha, listed(card->path())));
            QVERIFY(run.waitForEnd());
            QCOMPARE(run.ok(), round.ok);
            QVERIFY2(run.log().contains(round.logLine), qPrintable(run.log().join('\n')));
            QCOMPARE(requestsSince(*server, before, "GET").size(), round.imageRequests);
            if (!round.ok) {
                QVERIFY2(run.text().startsWith("Die Prüfsumme des Images stimmt nicht"),
                         qPrintable(run.text()));
                QVERIFY(firstMiBZero(card->path()));
                QCOMPARE(QDir(Installation::imageCache()).entryList(QDir::Files), QStringList());
                continue;
            }
            QCOMPARE(QDir(Installation::imageCache()).entryList(QDir::Files), QStringList{QString(demoSha)});
            QVERIFY(readFile(cached) == readFile(demoPath()));
            QCOMPARE(cardFile(card->path(), "Rom/rom.bin", dir->filePath("from-card.bin")),
                     readFile(romPath));
        }
    }

    // A download cut off in the middle stays in the cache; the next install asks only for the
    // rest, and the image verifies whether the server sends the rest or the whole file again.
    void resumesInterruptedDownload_data()
    {
        QTest::addColumn<QString>("answer"); // the query that changes the server's answer
        QTest::newRow("server sends the rest") << QString();
        QTest::newRow("server ignores the range") << QString("norange=1");
    }

    void resumesInterruptedDownload()
    {
        QFETCH(QString, answer);
        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        const QString part = Installation::imageCache() + "/" + demoSha + ".part";
        {
            Installation job;
            Run run(job);
            job.start(listedVersion("__q/truncate=20000000/demo", demoSha, listed(card->path())));
            QVERIFY(run.waitForEnd());
            QVERIFY2(run.text().startsWith("Download fehlgeschlagen: "), qPrintable(run.text()));
            QVERIFY2(run.text().contains("\nDer nächste Versuch setzt dort fort, wo dieser aufgehört hat.\n"),
                     qPrintable(run.text()));
        }
        const QByteArray kept = readFile(part);
        QVERIFY2(kept.size() > 1000000, qPrintable(QString::number(kept.size())));
        QVERIFY(readFile(demoPath()).startsWith(kept));

        const int before = server->requests().size();
        Installation job;
        Run run(job);
        job.start(listedVersion(answer.isEmpty() ? "demo" : "__q/" + answer + "/demo", demoSha,
                                listed(card->path())));
        QVERIFY(run.waitForEnd());
        QVERIFY2(run.ok(), qPrintable(run.text()));
        QVERIFY2(
            run.log().contains(QString("Der unterbrochene Download wird fortgesetzt; %1 liegen schon vor.")
                                   .arg(germanSize(kept.size()))),
            qPrintable(run.log().join('\n')));
        const QList<HttpServer::Request> gets = requestsSince(*server, before, "GET");
        QCOMPARE(gets.size(), 1);
        QCOMPARE(gets.first().range, QString("bytes=%1-").arg(kept.size()));
        QVERIFY(!QFileInfo::exists(part));
        QVERIFY(readFile(Installation::imageCache() + "/" + demoSha) == readFile(demoPath()));
        QCOMPARE(cardFile(card->path(), "Rom/rom.bin", dir->filePath("from-card.bin")), readFile(romPath));
    }

    // As root, nothing in the cache is followed that someone may have put there: a link in the
    // folder's place refuses the run and leaves its target's files and mode alone; a partial
    // download that is a link goes as a link, and the download starts afresh.
    void cacheLinksAreNotFollowed_data()
    {
        QTest::addColumn<bool>("folderIsLink");
        QTest::newRow("images folder a link") << true;
        QTest::newRow("partial download a link") << false;
    }

    void cacheLinksAreNotFollowed()
    {
        QFETCH(bool, folderIsLink);
        if (::geteuid() != 0)
            QSKIP("needs root");
        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        const QString cache = Installation::imageCache();
        const QString outside = dir->filePath("outside");
        QVERIFY(QDir().mkpath(outside));
        QVERIFY(QFile::setPermissions(outside, QFileDevice::Permissions(0x7755)));
        const QString secret = outside + "/secret";
        QVERIFY(writeFile(secret, "root's own"));
        QVERIFY(QDir().mkpath(folderIsLink ? QFileInfo(cache).path() : cache));
        QVERIFY(folderIsLink ? QFile::link(outside, cache)
                             : QFile::link(secret, cache + "/" + demoSha + ".part"));

        Installation job;
        Run run(job);
        job.start(listedVersion("demo", demoSha, listed(card->path())));
        QVERIFY(run.waitForEnd());
        if (folderIsLink) {
            QCOMPARE(run.text(),
                     "Der Ordner " + cache +
                         " kann nicht sicher benutzt werden: Dort steht eine Verknüpfung oder kein Ordner.");
            QVERIFY(QFileInfo(cache).isSymLink());
        } else {
            QVERIFY2(run.ok(), qPrintable(run.text()));
            QCOMPARE(QDir(cache).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                     QStringList{QString(demoSha)});
            QVERIFY(readFile(cache + "/" + demoSha) == readFile(demoPath()));
        }
        QCOMPARE(readFile(secret), QByteArray("root's own"));
        QCOMPARE(QDir(outside).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
                 QStringList{"secret"});
        QCOMPARE(QFileInfo(outside).permissions(), QFileDevice::Permissions(0x7755));
    }

    // Two installers fetching the same version at once: the second fetches without the cache and
    // leaves the first one's partial download alone, which stays to be continued after a cancel.
    void secondInstallerLeavesThePartialDownload()
    {
        const std::unique_ptr<LoopDevice> firstCard = attachCard(cardBytes, "first.img");
        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(firstCard && card);
        if (!firstCard->isAttached() || !card->isAttached())
            QSKIP(qPrintable(firstCard->error() + card->error()));
        showAsRemovable({firstCard->path(), card->path()});
        const QString part = Installation::imageCache() + "/" + demoSha + ".part";
        Installation first;
        Run firstRun(first);
        first.start(listedVersion("__q/rate=2000000/demo", demoSha, listed(firstCard->path())));
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(part).size() > 0; }, 30000));

        Installation second;
        Run secondRun(second);
        second.start(listedVersion("demo", demoSha, listed(card->path())));
        QVERIFY(secondRun.waitForEnd());
        QVERIFY2(secondRun.ok(), qPrintable(secondRun.text()));
        QVERIFY(secondRun.log().contains(
            "Ein anderer Installer lädt dieses Image gerade herunter; es wird ohne den Cache geladen."));
        QCOMPARE(cardFile(card->path(), "Rom/rom.bin", dir->filePath("from-card.bin")), readFile(romPath));
        QVERIFY(first.isRunning());

        first.cancel();
        QVERIFY(firstRun.waitForEnd());
        QCOMPARE(QDir(Installation::imageCache()).entryList(QDir::Files),
                 QStringList{QString(demoSha + ".part")});
        const QByteArray kept = readFile(part);
        QVERIFY(kept.size() > 0);
        QVERIFY(readFile(demoPath()).startsWith(kept));
    }

    // The working folder lives beside the cache, not in TMPDIR: an image larger than a small
    // tmpfs TMPDIR installs, and the cached download stays as sent; leftovers of dead runs go,
    // those of running installers stay.
    void workingFolderBesideTheCache()
    {
        const QString tmp = dir->filePath("tmp");
        QVERIFY(QDir().mkpath(tmp));
        if (::mount("tmpfs", QFile::encodeName(tmp).constData(), "tmpfs", 0, "size=20m") != 0)
            QSKIP("needs a tmpfs mount (root)");
        const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(tmp).constData(), MNT_DETACH); });
        qputenv("TMPDIR", QFile::encodeName(tmp));
        const auto restore = qScopeGuard([] { qunsetenv("TMPDIR"); });

        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        QDir root(Installation::workingRoot());
        const pid_t dead = ::fork();
        if (dead == 0)
            ::_exit(0);
        ::waitpid(dead, nullptr, 0);
        QVERIFY(root.mkpath(QString("%1-dead").arg(dead)));
        QVERIFY(root.mkpath(QString("%1-alive").arg(::getppid())));

        Installation job;
        Run run(job);
        job.start(listedVersion("demo", demoSha, listed(card->path())));
        QVERIFY(QTest::qWaitFor(
            [&] { return job.step() == Installation::Step::Fetching || !run.ends.isEmpty(); }, 60000));
        QVERIFY(job.workingFolder().startsWith(root.path() + "/"));
        QVERIFY(!QFileInfo(root.path()).permissions().testFlag(QFileDevice::ReadOther));
        QVERIFY(run.waitForEnd());
        QVERIFY2(run.ok(), qPrintable(run.text()));
        QVERIFY(readFile(Installation::imageCache() + "/" + demoSha) == readFile(demoPath()));
        QCOMPARE(workLeftovers(), QStringList{QString("%1-alive").arg(::getppid())});
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    // A download needs room in the cache for what it still has to fetch, and no more: the image
    // is written to the card as it arrives, never copied.
    void refusesWithoutRoomForTheDownload()
    {
        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        const QString cache = dir->filePath("cache");
        QVERIFY(QDir().mkpath(cache));
        if (::mount("tmpfs", QFile::encodeName(cache).constData(), "tmpfs", 0, "size=20m") != 0)
            QSKIP("needs a tmpfs mount (root)");
        const auto unmount =
            qScopeGuard([&] { ::umount2(QFile::encodeName(cache).constData(), MNT_DETACH); });
        Installation job;
        Run run(job);
        job.start(listedVersion("demo", demoSha, listed(card->path())));
        QVERIFY(run.waitForEnd());
        QVERIFY2(run.text().startsWith("In " + Installation::imageCache() +
                                       " ist zu wenig Platz frei: Der Download braucht 36,7 MB, frei sind "),
                 qPrintable(run.text()));
        QVERIFY(firstMiBZero(card->path()));
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A 1 GiB image installs with 1.1 GiB free beside the cache: the download is the only copy
    // of the image on disk.
    void largeImageWithRoomForOneCopy()
    {
        const qint64 gib = 1024 * 1024 * 1024;
        const QString large = fixtures.filePath("large/images/" + demoImage);
        if (!QFileInfo::exists(large)) {
            QVERIFY(QDir().mkpath(QFileInfo(large).path()));
            QVERIFY(QFile::copy(demoPath(), large));
            QVERIFY(QFile(large).resize(gib));
        }
        const std::unique_ptr<LoopDevice> card = attachCard(gib + 64 * 1024 * 1024);
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        const QString cache = dir->filePath("cache");
        QVERIFY(QDir().mkpath(cache));
        if (::mount("tmpfs", QFile::encodeName(cache).constData(), "tmpfs", 0, "size=1126m") != 0)
            QSKIP("needs a tmpfs mount (root)");
        const auto unmount =
            qScopeGuard([&] { ::umount2(QFile::encodeName(cache).constData(), MNT_DETACH); });
        QCryptographicHash hash(QCryptographicHash::Sha256);
        QFile image(large);
        QVERIFY(image.open(QIODevice::ReadOnly) && hash.addData(&image));
        Installation job;
        Run run(job);
        job.start(listedVersion("large", hash.result().toHex(), listed(card->path())));
        QVERIFY(run.waitForEnd(400000));

        QVERIFY2(run.ok(), qPrintable(run.text()));
        QCOMPARE(QFileInfo(Installation::imageCache() + "/" + hash.result().toHex()).size(), gib);
        QCOMPARE(cardFile(card->path(), "Rom/rom.bin", dir->filePath("from-card.bin")), readFile(romPath));
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A cancel is not a failure, and the text says what became of the card, at every moment:
    // while the helper waits to start, during the pass, the moment the download has completed
    // (the pass has taken its last byte, the card still receiving), and during the read-back.
    // Before the go-ahead the card keeps a zero first MiB.
    void cancels_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::addColumn<QString>("text");
        const QString unfinished = "Abgebrochen. Die Karte ist unvollständig beschrieben, startet so nicht "
                                   "und muss neu bespielt werden.";
        QTest::newRow("before the card is held") << "start"
                                                 << "Abgebrochen. Die Karte wurde nicht verändert.";
        QTest::newRow("during the pass") << "pass" << unfinished;
        QTest::newRow("as the download completes") << "downloaded" << unfinished;
        QTest::newRow("during the read-back")
            << "verify"
            << "Abgebrochen. Die Karte ist beschrieben, aber nicht geprüft; sie sollte neu bespielt werden.";
    }

    void cancels()
    {
        QFETCH(QString, moment);
        QFETCH(QString, text);

        SlowCard card(dir->path());
        if (!card.error().isEmpty())
            QSKIP(qPrintable(card.error()));
        showAsRemovable({card.path()});

        Installation job;
        Run run(job);
        QSignalSpy progress(&job, &Installation::progress);
        const qint64 size = QFileInfo(demoPath()).size();
        if (moment == "downloaded")
            connect(&job, &Installation::progress, &job, [&job, size](qint64 done) {
                if (done == size)
                    job.cancel();
            });
        job.start(listedVersion("__q/rate=4000000/demo", demoSha, listed(card.path())));
        if (moment == "start")
            job.cancel();
        const Installation::Step step =
            moment == "verify" ? Installation::Step::Verifying : Installation::Step::Fetching;
        if (moment == "pass" || moment == "verify")
            QVERIFY(QTest::qWaitFor([&] { return job.step() == step && progress.size() > 2; }, 60000));
        if (moment != "downloaded")
            job.cancel();
        QVERIFY(run.waitForEnd(60000));
        QCOMPARE(run.ends.size(), 1);
        QCOMPARE(run.text(), text);
        QCOMPARE(job.outcome(), Installation::Outcome::Cancelled);
        QVERIFY(run.log().contains(QStringLiteral("Abbruch angefordert …")));
        if (moment != "verify")
            QVERIFY(firstMiBZero(card.path()));
        if (moment == "start")
            QCOMPARE(newRequests("GET").size(), 0);
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A card pulled while the image is still downloading ends the run at once, with the card's
    // own text; the download stays in the cache to be continued.
    void cardPulledDuringTheDownload()
    {
        FaultyDisk::Options options;
        options.size = cardBytes;
        FaultyCard card(dir->path(), options);
        if (!card.error().isEmpty())
            QSKIP(qPrintable(card.error()));
        showAsRemovable({card.path()});
        Installation job;
        Run run(job);
        QSignalSpy progress(&job, &Installation::progress);
        job.start(listedVersion("__q/rate=2000000/demo", demoSha, listed(card.path())));
        QVERIFY(QTest::qWaitFor(
            [&] { return !progress.isEmpty() && progress.constLast().at(0).toLongLong() > 4000000; }, 60000));
        card.pull();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(run.waitForEnd(30000));

        // Well before the rest of the download (some 16 s at this rate) could have arrived.
        QVERIFY2(clock.elapsed() < 8000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(job.outcome(), Installation::Outcome::Failed);
        QVERIFY2(
            run.text().endsWith("\nDie Karte ist unvollständig beschrieben, startet so nicht und muss neu "
                                "bespielt werden."),
            qPrintable(run.text()));
        QVERIFY(!run.text().startsWith("Download"));
        // Found by asking the card, not by the write of its next chunk.
        QVERIFY2(run.text().startsWith("Die Karte unter " + card.path() +
                                       " antwortet nicht mehr (entfernt oder defekt)"),
                 qPrintable(run.text()));
        QCOMPARE(run.text().count("Die Karte"), 2); // the reason, then the card's state once
        const QString part = Installation::imageCache() + "/" + demoSha + ".part";
        QTRY_VERIFY(QFileInfo(part).size() > 0);
        QVERIFY(readFile(demoPath()).startsWith(readFile(part)));
        QCOMPARE(workLeftovers(), QStringList());
    }

    // Three cards from one download: one request for the image, every card verified and byte for
    // byte what a one-card install gives, each with its own reports, the counter told once per card.
    void installsOntoThreeCards()
    {
        const auto cards = attachCards(3);
        if (cards.empty())
            QSKIP(qPrintable(cardsMissing));
        const QStringList paths = pathsOf(cards);
        InstallRequest request = listedVersion("demo", demoSha, listed(paths));
        request.countConsent = true;
        Installation job;
        Run run(job);
        QSignalSpy changes(&job, &Installation::cardChanged);
        const QDateTime started = QDateTime::currentDateTime();
        job.start(request);
        QVERIFY(run.waitForEnd());

        QVERIFY2(run.ok(), qPrintable(run.text()));
        QStringList summary{"Alle 3 Karten sind geschrieben und geprüft:"};
        for (const DriveInfo &drive : request.targets)
            summary << drive.label + ": geschrieben und geprüft.";
        QCOMPARE(run.text(), summary.join('\n'));
        QCOMPARE(run.stepTexts(), (QStringList{"Prüfe Karten und Speicherplatz …",
                                               "Lade Tobra Demo herunter und schreibe es auf die Karten …",
                                               "Prüfe die Karten …", ""}));
        QCOMPARE(newRequests("GET").size(), 1);
        QVERIFY2(allMatchFileInstall(paths, started), "a card differs from a one-card install");
        QCOMPARE(job.cardReports().size(), 3);
        QSet<int> changed;
        for (const QList<QVariant> &change : changes)
            changed << change.at(0).toInt();
        QCOMPARE(changed, (QSet<int>{0, 1, 2}));
        for (int i = 0; i < 3; ++i) {
            const Installation::CardReport report = job.cardReports().at(i);
            QCOMPARE(report.drive.path, paths.at(i));
            QCOMPARE(report.stage, Installation::CardReport::Stage::Verified);
            QCOMPARE(report.state, Installation::CardState::Written);
        }
        QTRY_COMPARE(newRequests("POST").size(), 3);
        QCOMPARE(workLeftovers(), QStringList());
    }

    // One card of three fails on its own (EIO half-way, or a fake card found before its first
    // byte): it is stopped, the others go on to a verified end, the summary names it, and only
    // the verified cards are counted.
    void oneOfThreeCardsFails_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("sentence"); // what the failed card holds
        QTest::newRow("EIO half-way") << "eio"
                                      << "Die Karte ist unvollständig beschrieben, startet so nicht und muss "
                                         "neu bespielt werden.";
        QTest::newRow("fake card") << "fake"
                                   << "Die Karte wurde nicht verändert.";
    }

    void oneOfThreeCardsFails()
    {
        QFETCH(QString, fault);
        QFETCH(QString, sentence);
        FaultyDisk::Options options = failingHalfWay();
        if (fault == "fake") {
            options = FaultyDisk::Options();
            options.size = cardBytes;
            options.wrapAfter = 8 * 1024 * 1024;
        }
        FaultyCard faulty(dir->path(), options);
        if (!faulty.error().isEmpty())
            QSKIP(qPrintable(faulty.error()));
        const auto cards = attachCards(2, {faulty.path()});
        if (cards.empty())
            QSKIP(qPrintable(cardsMissing));
        const QStringList good = pathsOf(cards);
        InstallRequest request =
            listedVersion("demo", demoSha, listed(QStringList{good.at(0), faulty.path(), good.at(1)}));
        request.countConsent = true;
        Installation job;
        Run run(job);
        const QDateTime started = QDateTime::currentDateTime();
        job.start(request);
        QVERIFY(run.waitForEnd());

        QCOMPARE(job.outcome(), Installation::Outcome::Failed);
        const QList<Installation::CardReport> reports = job.cardReports();
        QCOMPARE(reports.size(), 3);
        const Installation::CardReport failed = reports.at(1);
        QCOMPARE(failed.stage, Installation::CardReport::Stage::Failed);
        QVERIFY2(failed.reason.endsWith("\n" + sentence), qPrintable(failed.reason));
        QCOMPARE(failed.state == Installation::CardState::Unchanged, fault == "fake");
        for (int i : {0, 2})
            QCOMPARE(reports.at(i).stage, Installation::CardReport::Stage::Verified);
        QVERIFY2(run.text().startsWith("2 von 3 Karten sind geschrieben und geprüft:\n"),
                 qPrintable(run.text()));
        QVERIFY2(run.text().contains(failed.drive.label + ": nicht fertig – "), qPrintable(run.text()));
        QVERIFY2(run.text().endsWith(reports.at(2).drive.label + ": geschrieben und geprüft."),
                 qPrintable(run.text()));
        if (fault == "eio")
            QVERIFY(firstMiBZero(faulty.path()));
        QVERIFY2(allMatchFileInstall(good, started), "a card differs from a one-card install");
        QTRY_COMPARE(newRequests("POST").size(), 2);
        QTest::qWait(300);
        QCOMPARE(newRequests("POST").size(), 2);
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A cancel during the pass stops every card: none keeps a volume, each says so.
    void cancelStopsEveryCard()
    {
        std::vector<std::unique_ptr<SlowCard>> cards;
        QStringList paths;
        for (int i = 0; i < 3; ++i) {
            const QString folder = dir->filePath(QString("slow%1").arg(i));
            QVERIFY(QDir().mkpath(folder));
            cards.push_back(std::make_unique<SlowCard>(folder));
            if (!cards.back()->error().isEmpty())
                QSKIP(qPrintable(cards.back()->error()));
            QVERIFY(writeFile(cards.back()->path(), QByteArray(partitionOffset, 'c')));
            paths << cards.back()->path();
        }
        showAsRemovable(paths);
        Installation job;
        Run run(job);
        QSignalSpy progress(&job, &Installation::progress);
        job.start(listedVersion("demo", demoSha, listed(paths)));
        QVERIFY(QTest::qWaitFor(
            [&] { return job.step() == Installation::Step::Fetching && progress.size() > 2; }, 60000));
        job.cancel();
        QVERIFY(run.waitForEnd(60000));

        QCOMPARE(job.outcome(), Installation::Outcome::Cancelled);
        QVERIFY2(run.text().startsWith("Abgebrochen.\n0 von 3 Karten sind geschrieben und geprüft:\n"),
                 qPrintable(run.text()));
        QCOMPARE(cardsNotStopped(job, run.text()), QStringList());
        QCOMPARE(workLeftovers(), QStringList());
    }

    // A checksum that does not match at the end stops every card without the go-ahead: none keeps a
    // volume, and the text says why once, then what each card holds.
    void checksumMismatchStopsEveryCard()
    {
        const auto cards = attachCards(3);
        if (cards.empty())
            QSKIP(qPrintable(cardsMissing));
        Installation job;
        Run run(job);
        job.start(listedVersion("demo", QByteArray(64, '0'), listed(pathsOf(cards))));
        QVERIFY(run.waitForEnd());

        QCOMPARE(job.outcome(), Installation::Outcome::Failed);
        QVERIFY2(run.text().startsWith("Die Prüfsumme des Images stimmt nicht mit der tobra.json überein.\n"),
                 qPrintable(run.text()));
        QVERIFY2(run.text().contains("\n0 von 3 Karten sind geschrieben und geprüft:\n"),
                 qPrintable(run.text()));
        QCOMPARE(cardsNotStopped(job, run.text()), QStringList());
    }

    // The same card twice is refused before anything starts.
    void refusesTheSameCardTwice()
    {
        const DriveInfo card = listed("/dev/tobratest9");
        InstallRequest request = localImage(demoPath(), card);
        request.targets << card;
        QCOMPARE(refusalOf(request), "Die Speicherkarte /dev/tobratest9 ist mehrfach ausgewählt.");
        request.targets.clear();
        QCOMPARE(refusalOf(request), "Es ist keine Speicherkarte ausgewählt.");
    }

    // The question names every card with its label (name, size, path) and marks each large drive.
    void eraseQuestionNamesEveryCard()
    {
        DriveInfo card;
        card.path = "/dev/sdb";
        card.sizeBytes = 15931539456;
        card.label = "Card Reader (15,9 GB) – /dev/sdb";
        DriveInfo disk;
        disk.path = "/dev/sdc";
        disk.sizeBytes = 2000398934016;
        disk.label = "Backup Disk (2.000,4 GB) – /dev/sdc";
        QCOMPARE(eraseQuestion(QList<DriveInfo>{card}), eraseQuestion(card));
        QCOMPARE(eraseQuestion(QList<DriveInfo>{card, disk}),
                 "Alle Daten auf diesen 2 Laufwerken werden unwiderruflich gelöscht:\n\n"
                 "• Card Reader (15,9 GB) – /dev/sdb\n"
                 "• Backup Disk (2.000,4 GB) – /dev/sdc – ACHTUNG: mit 2.000 GB sehr groß für eine "
                 "Speicherkarte, vielleicht eine externe Festplatte mit wichtigen Daten\n\n"
                 "Wirklich fortfahren?");
        QCOMPARE(eraseQuestion(QList<DriveInfo>{card, card}).section('\n', -1), "Fortfahren?");
    }

    // Destroying a running installation stops the helper at once and takes the folder with it.
    void destroyedWhileWriting()
    {
        SlowCard card(dir->path());
        if (!card.error().isEmpty())
            QSKIP(qPrintable(card.error()));
        showAsRemovable({card.path()});

        auto job = std::make_unique<Installation>();
        QSignalSpy ends(job.get(), &Installation::finished);
        QSignalSpy progress(job.get(), &Installation::progress);
        job->start(localImage(demoPath(), listed(card.path())));
        QVERIFY(QTest::qWaitFor(
            [&] { return job->step() == Installation::Step::Fetching && progress.size() > 2; }, 60000));
        const QString folder = job->workingFolder();
        job.reset();
        QVERIFY(!QFileInfo::exists(folder));
        QCOMPARE(ends.size(), 0);
        QCOMPARE(workLeftovers(), QStringList());
        // Nobody holds the card any more: it can be opened exclusively.
        const int fd = ::open(QFile::encodeName(card.path()).constData(), O_RDONLY | O_EXCL | O_CLOEXEC);
        QVERIFY2(fd >= 0, "the card is still held");
        ::close(fd);
    }
};

int main(int argc, char **argv)
{
    // The job starts this executable as its write helper, as the program does.
    if (argc > 1 && qstrcmp(argv[1], "--write-helper") == 0)
        return runWriteHelper(argc, argv);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    TestInstallation test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_installation.moc"
