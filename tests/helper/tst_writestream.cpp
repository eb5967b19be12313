// SPDX-License-Identifier: GPL-3.0-or-later
#include "faultydisk.h"
#include "imagestream.h"
#include "loopdevice.h"
#include "removablelsblk.h"
#include "testfiles.h"
#include "writejob.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QTemporaryDir>
#include <QTest>
#include <unistd.h>

// The installer started with "--write-helper --stdin", the image coming in frames through its
// standard input: what it prints, when, and what ends up on a real loop device.
class TestWriteStream : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void writesAsTheFileFormDoes_data();
    void writesAsTheFileFormDoes();
    void leavesNoVolumeWithoutGoAhead_data();
    void leavesNoVolumeWithoutGoAhead();
    void refusesBeforeReady_data();
    void refusesBeforeReady();
    void readBackCatchesAChangedByte();
    void jobWritesTheCard();
    void jobCancelledWhileTheCardIsSlow();
    void severalCardsFromOneStream();
    void oneOfThreeFailsOnItsOwn();
    void fakeCardAmongThreeRefusedBeforeItsFirstByte();
    void severalCardsStopWithoutGoAhead_data();
    void severalCardsStopWithoutGoAhead();
    void jobWritesSeveralCards();
    void cardPulledWhileNoInputComes_data();
    void cardPulledWhileNoInputComes();

private:
    QTemporaryDir dir;
};

namespace {

constexpr qint64 mib = 1 << 20;
constexpr qint64 cardSize = 32 * mib;
const QString noVolume = "Die Karte hat jetzt keinen nutzbaren Datenträger und muss neu beschrieben werden.";
const QString unchanged = "Die Karte wurde nicht verändert.";
const QString aborted = "Das Schreiben wurde abgebrochen, das Image wird nicht verwendet.";
const QString endedEarly = "Die Übertragung des Images endete vor ihrem Abschluss.";

// The image in data frames of an odd size, so frames and the helper's chunks never line up.
QByteArray framed(const QByteArray &image, qint64 frameSize = 300007)
{
    QByteArray frames;
    for (qint64 offset = 0; offset < image.size(); offset += frameSize) {
        const QByteArray payload = image.mid(offset, frameSize);
        frames += ImageStream::dataHeader(payload.size()) + payload;
    }
    return frames;
}

QStringList lines(const QByteArray &output)
{
    QStringList result = QString::fromUtf8(output).split('\n');
    if (result.constLast().isEmpty())
        result.removeLast();
    else
        result << "(output does not end with a newline)";
    return result;
}

QStringList progressLines(const char *phase, qint64 size, qint64 total)
{
    QStringList result;
    for (qint64 done = 0; done < size;) {
        done = qMin(size, done + 4 * mib);
        result << QString("PROGRESS %1 %2 %3").arg(phase).arg(done).arg(total);
    }
    return result;
}

// A loop device over the FUSE disk of the tests, a card that fails as told.
struct FaultyCard
{
    FaultyCard(const QString &folder, const FaultyDisk::Options &options)
        : disk(folder, options), loop(disk.file())
    {}
    bool isReady() const { return disk.isRunning() && loop.isAttached(); }
    QString error() const { return disk.isRunning() ? loop.error() : disk.error(); }

    FaultyDisk disk;
    LoopDevice loop;
};

// Shows the card to the helper that a WriteJob of this process starts as an offered drive.
void offerToJobs(const QString &device)
{
    qputenv("PATH", pathWithRemovableLsblk(qEnvironmentVariable("PATH")).toUtf8());
    qputenv("TOBRA_REMOVABLE_DEVICES", device.toUtf8());
}

// One run of the helper in the stream form, its standard input open to us, or, given a file, to a
// sender of its own that sends the file and then stays until it is killed.
class StreamRun
{
public:
    StreamRun(const QString &device, const QStringList &options, const QString &senderFile = QString())
        : StreamRun(QStringList{device}, QStringList{"--stdin", device, "--verify"} + options, senderFile)
    {}
    // Any form, with the devices offered and these arguments after "--write-helper".
    StreamRun(const QStringList &devices, const QStringList &arguments, const QString &senderFile)
    {
        if (!senderFile.isEmpty()) {
            sender.setStandardOutputProcess(&helper);
            sender.start("/bin/sh", {"-c", "cat \"$0\" && exec sleep 600", senderFile});
        }
        helper.setProcessEnvironment(environmentWithRemovable(devices));
        helper.start(qEnvironmentVariable("TOBRA_INSTALLER"), QStringList{"--write-helper"} + arguments);
    }
    ~StreamRun()
    {
        for (QProcess *process : {&sender, &helper}) {
            process->kill();
            process->waitForFinished();
        }
    }

    // The next line of output (first READY, or a refusal); it comes without a byte of input sent.
    QString firstLine()
    {
        while (!helper.canReadLine() && helper.state() != QProcess::NotRunning)
            helper.waitForReadyRead(1000);
        const QByteArray line = helper.readLine();
        output += line;
        return QString::fromUtf8(line).trimmed();
    }
    // Sends the input, closes it, and waits for the end; then lines and exitCode hold the outcome.
    void finish(const QByteArray &input, bool closeInput = true)
    {
        helper.write(input);
        if (closeInput)
            helper.closeWriteChannel();
        wait();
    }
    void wait()
    {
        if (!helper.waitForFinished(120000))
            helper.kill();
        helper.waitForFinished();
        output += helper.readAllStandardOutput();
        exitCode = helper.exitStatus() == QProcess::NormalExit ? helper.exitCode() : -1;
    }
    QStringList lines() const { return ::lines(output); }
    // The lines about card n (1-based), without their "CARD <n> ".
    QStringList cardLines(int n) const
    {
        const QString prefix = QString("CARD %1 ").arg(n);
        QStringList result;
        for (const QString &line : lines())
            if (line.startsWith(prefix))
                result << line.mid(prefix.size());
        return result;
    }
    // The lines of the run itself.
    QStringList runLines() const { return lines().filter(QRegularExpression("^(?!CARD )")); }

    QProcess sender;
    QProcess helper;
    QByteArray output;
    int exitCode = -1;
};

// The several-card form for these devices, each "--card PATH".
QStringList severalCards(const QStringList &devices, const QStringList &options = QStringList())
{
    QStringList arguments = QStringList{"--stdin-cards", "--verify"} + options;
    for (const QString &device : devices)
        arguments << "--card" << device;
    return arguments;
}

// Three cards for the several-card form: plain loop devices over 32 MiB files of 0xAA, or, where
// options are given, a FUSE card that fails as told.
class ThreeCards
{
public:
    ThreeCards(const QString &folder, const QMap<int, FaultyDisk::Options> &faulty = {})
    {
        for (int index = 0; index < 3; ++index) {
            if (faulty.contains(index)) {
                const QString cardFolder = folder + QString("/faulty%1").arg(index);
                QDir().mkpath(cardFolder);
                faultyCards.push_back(std::make_unique<FaultyCard>(cardFolder, faulty.value(index)));
                loops << &faultyCards.back()->loop;
                failure += faultyCards.back()->isReady() ? QString() : faultyCards.back()->error();
                continue;
            }
            files << folder + QString("/card%1.img").arg(index);
            writeFile(files.constLast(), QByteArray(cardSize, '\xAA'));
            plainCards.push_back(std::make_unique<LoopDevice>(files.constLast()));
            loops << plainCards.back().get();
            failure += plainCards.back()->isAttached() ? QString() : plainCards.back()->error();
        }
    }
    bool isReady() const { return failure.isEmpty(); }
    QString error() const { return failure; }
    QStringList paths() const
    {
        QStringList result;
        for (const LoopDevice *loop : loops)
            result << loop->path();
        return result;
    }
    QString path(int index) const { return loops.at(index)->path(); }
    // Pulls the FUSE card out of its reader.
    void pullFaulty() { faultyCards.front()->disk.pull(); }

private:
    std::vector<std::unique_ptr<FaultyCard>> faultyCards;
    std::vector<std::unique_ptr<LoopDevice>> plainCards;
    QList<const LoopDevice *> loops;
    QStringList files;
    QString failure;
};

// What a card that was written and read back says in the several-card form.
QStringList verifiedCardLines(qint64 size, qint64 total)
{
    return QStringList{"READY", "WRITING"} + progressLines("write", size, total) +
           progressLines("verify", size, size) + QStringList{"DONE"};
}

} // namespace

void TestWriteStream::initTestCase()
{
    QVERIFY2(QFileInfo::exists(qEnvironmentVariable("TOBRA_INSTALLER")), "TOBRA_INSTALLER names no program");
}

void TestWriteStream::init()
{
    for (const char *name : {"file-form.img", "stream-form.img"})
        QVERIFY(writeFile(dir.filePath(name), QByteArray(cardSize, '\xAA')));
}

void TestWriteStream::writesAsTheFileFormDoes_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("announced");
    QTest::newRow("10MiB-and-a-byte") << 10 * mib + 1 << true;
    QTest::newRow("size-not-announced") << 10 * mib + 1 << false;
    QTest::newRow("smaller-than-the-first-MiB") << qint64(300000) << true;
    QTest::newRow("exactly-one-MiB") << mib << false;
    QTest::newRow("as-large-as-the-card") << cardSize << true;
}

// The same image through the file form and through the stream form onto two equal cards: the
// cards end up equal, byte for byte (the capacity check's blocks included). The helper says
// READY before a byte of input has been sent, with the card still as it was.
void TestWriteStream::writesAsTheFileFormDoes()
{
    QFETCH(qint64, size);
    QFETCH(bool, announced);
    const QByteArray image = randomBytes(size, 21);
    QVERIFY(writeFile(dir.filePath("image"), image));
    {
        LoopDevice fileForm(dir.filePath("file-form.img"));
        LoopDevice streamForm(dir.filePath("stream-form.img"));
        if (!fileForm.isAttached() || !streamForm.isAttached())
            QSKIP(qPrintable(fileForm.error() + streamForm.error()));
        QProcess file;
        file.setProcessEnvironment(environmentWithRemovable({fileForm.path()}));
        file.start(qEnvironmentVariable("TOBRA_INSTALLER"),
                   {"--write-helper", dir.filePath("image"), fileForm.path(), "--verify"});
        QVERIFY(file.waitForFinished(120000));
        QCOMPARE(lines(file.readAllStandardOutput()).constLast(), QString("DONE"));

        StreamRun run(streamForm.path(),
                      announced ? QStringList{QString("--image-size=%1").arg(size)} : QStringList());
        QCOMPARE(run.firstLine(), QString("READY"));
        QVERIFY(readFile(dir.filePath("stream-form.img")) == QByteArray(cardSize, '\xAA'));
        run.finish(framed(image) + ImageStream::goAheadFrame(size));
        QCOMPARE(run.lines(),
                 (QStringList{"READY", "WRITING"} + progressLines("write", size, announced ? size : 0) +
                  progressLines("verify", size, size) + QStringList{"DONE"}));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.helper.readAllStandardError(), QByteArray());
    }
    QVERIFY(readRange(dir.filePath("stream-form.img"), 0, size) == image);
    QVERIFY(readFile(dir.filePath("stream-form.img")) == readFile(dir.filePath("file-form.img")));
}

void TestWriteStream::leavesNoVolumeWithoutGoAhead_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("message");
    QTest::newRow("abort") << "abort" << aborted + ' ' + noVolume;
    QTest::newRow("input-ends-between-frames") << "close" << endedEarly + ' ' + noVolume;
    QTest::newRow("input-ends-inside-a-frame") << "close-inside" << endedEarly + ' ' + noVolume;
    QTest::newRow("sender-killed") << "kill-sender" << endedEarly + ' ' + noVolume;
    QTest::newRow("unknown-frame") << "unknown"
                                   << "Die Übertragung des Images ist fehlerhaft. " + noVolume;
    QTest::newRow("go-ahead-with-a-wrong-count") << "wrong-count"
                                                 << "Die Übertragung des Images ist fehlerhaft. " + noVolume;
    QTest::newRow("fewer-bytes-than-announced")
        << "go-ahead-early"
        << "Das Image ist kleiner als angegeben (6.291.456 statt 8.388.608 Byte). " + noVolume;
    QTest::newRow("more-bytes-than-announced")
        << "more"
        << "Das Image ist größer als angegeben (8.388.608 Byte). " + noVolume;
    QTest::newRow("past-the-cards-end")
        << "past-the-end"
        << "Die Karte ist zu klein: Das Image ist größer als ihre 33 MB. " + noVolume;
    QTest::newRow("abort-before-any-byte") << "abort-at-once" << aborted + ' ' + unchanged;
    QTest::newRow("input-ends-before-any-byte") << "close-at-once" << endedEarly + ' ' + unchanged;
    QTest::newRow("go-ahead-for-nothing") << "empty"
                                          << "Das Image ist leer. " + unchanged;
}

// Without a go-ahead nothing on the card looks like a volume: its first MiB stays zero while the
// rest was written as it came. Before the first image byte the card stays as it was.
void TestWriteStream::leavesNoVolumeWithoutGoAhead()
{
    QFETCH(QString, end);
    QFETCH(QString, message);
    const QByteArray image = randomBytes(6 * mib, 22);
    LoopDevice card(dir.filePath("stream-form.img"));
    if (!card.isAttached())
        QSKIP(qPrintable(card.error()));
    const QStringList announce{QString("--image-size=%1").arg(8 * mib)};
    const bool announced = end == "go-ahead-early" || end == "more";
    QByteArray input = framed(image);
    QVERIFY(writeFile(dir.filePath("input"), input));
    StreamRun run(card.path(), announced ? announce : QStringList(),
                  end == "kill-sender" ? dir.filePath("input") : QString());
    QCOMPARE(run.firstLine(), QString("READY"));
    if (end == "abort") {
        input += ImageStream::abortFrame();
    } else if (end == "close-inside") {
        input.chop(1000);
    } else if (end == "unknown") {
        input += QByteArray("X\0\0\0\0", 5);
    } else if (end == "wrong-count") {
        input += ImageStream::goAheadFrame(image.size() - 1);
    } else if (end == "go-ahead-early") {
        input += ImageStream::goAheadFrame(image.size());
    } else if (end == "more" || end == "past-the-end") {
        input =
            framed(randomBytes(end == "more" ? 10 * mib : cardSize + 1, 22)) + ImageStream::goAheadFrame(0);
    } else if (end == "abort-at-once") {
        input = ImageStream::abortFrame();
    } else if (end == "close-at-once") {
        input.clear();
    } else if (end == "empty") {
        input = ImageStream::goAheadFrame(0);
    }
    if (end == "kill-sender") {
        // Everything sent has been taken once the last whole chunk is on its way.
        QVERIFY(run.helper.waitForReadyRead(60000));
        while (!run.output.contains("PROGRESS write") && run.helper.waitForReadyRead(60000))
            run.output += run.helper.readAll();
        QTest::qWait(500);
        run.sender.kill();
        run.wait();
    } else {
        run.finish(input);
    }
    QCOMPARE(run.lines().constLast(), "ERROR " + message);
    QCOMPARE(run.exitCode, 1);
    if (message.endsWith(unchanged)) {
        QCOMPARE(run.lines(), (QStringList{"READY", "ERROR " + message}));
        QVERIFY(readFile(card.path()) == QByteArray(cardSize, '\xAA'));
        return;
    }
    QCOMPARE(run.lines().mid(0, 3),
             (QStringList{"READY", "WRITING",
                          QString("PROGRESS write %1 %2").arg(4 * mib).arg(announced ? 8 * mib : 0)}));
    QCOMPARE(readRange(card.path(), 0, mib), QByteArray(mib, '\0'));
    QVERIFY(readRange(card.path(), mib, 3 * mib) == image.mid(mib, 3 * mib));
}

void TestWriteStream::refusesBeforeReady_data()
{
    QTest::addColumn<QString>("refusal");
    QTest::addColumn<QString>("message");
    const QString changed =
        "Die Karte unter %1 wurde gewechselt oder verändert, seit sie ausgewählt wurde. Es "
        "wurde nichts geschrieben. Bitte die Auswahl prüfen.";
    QTest::newRow("other-size") << "size" << changed;
    QTest::newRow("image-larger-than-the-card") << "image-size"
                                                << "Die Karte ist zu klein: 67 MB statt mindestens 68 MB";
    QTest::newRow("fake-card")
        << "fake"
        << "Die Karte meldet 67 MB, speichert aber nur etwa 8 MB. Sie ist gefälscht oder "
           "defekt und sollte nicht verwendet werden. Das Image wurde nicht geschrieben.";
    QTest::newRow("not-offered") << "not-offered"
                                 << "%1 ist kein erlaubtes Ziel (nur Wechseldatenträger bis 2 TB). ";
}

// Every refusal comes before READY, with input waiting unread, and leaves the card as it was.
void TestWriteStream::refusesBeforeReady()
{
    QFETCH(QString, refusal);
    QFETCH(QString, message);
    FaultyDisk::Options diskOptions;
    diskOptions.size = 64 * mib;
    diskOptions.wrapAfter = refusal == "fake" ? 8 * mib : -1;
    const FaultyCard faulty(dir.path(), diskOptions);
    if (!faulty.isReady())
        QSKIP(qPrintable(faulty.error()));
    const LoopDevice &card = faulty.loop;
    QVERIFY(writeFile(card.path(), QByteArray(8 * mib, '\xAA')));
    QStringList options;
    if (refusal == "size")
        options << QString("--size=%1").arg(64 * mib + 512);
    else if (refusal == "image-size")
        options << QString("--image-size=%1").arg(64 * mib + 1);
    const QString target = refusal == "not-offered" ? "/dev/null" : card.path();
    StreamRun run(target, options);
    run.helper.write(framed(randomBytes(2 * mib, 23)) + ImageStream::goAheadFrame(2 * mib));
    run.wait();
    QCOMPARE(run.lines(), QStringList{"ERROR " + QString(message).replace("%1", target)});
    QCOMPARE(run.exitCode, refusal == "not-offered" ? 3 : 1);
    // What the card really holds (a fake one holds 8 MiB) is as it was, the probed blocks included.
    QVERIFY(readRange(card.path(), 0, 8 * mib) == QByteArray(8 * mib, '\xAA'));
}

// A card that gives back other bytes than it took: the read-back finds the first chunk that
// differs although the helper never held the whole image.
void TestWriteStream::readBackCatchesAChangedByte()
{
    FaultyDisk::Options diskOptions;
    diskOptions.size = cardSize;
    diskOptions.corruptAfter = 9 * mib + 4096; // behind the capacity check's block at 9 MiB
    diskOptions.faultsBefore = 9 * mib + 4097;
    const FaultyCard faulty(dir.path(), diskOptions);
    if (!faulty.isReady())
        QSKIP(qPrintable(faulty.error()));
    const LoopDevice &card = faulty.loop;
    const QByteArray image = randomBytes(14 * mib, 24);
    StreamRun run(card.path(), {});
    QCOMPARE(run.firstLine(), QString("READY"));
    run.finish(framed(image) + ImageStream::goAheadFrame(image.size()));
    QCOMPARE(run.lines(),
             (QStringList{"READY", "WRITING"} + progressLines("write", image.size(), 0) +
              progressLines("verify", 8 * mib, image.size()) +
              QStringList{"ERROR Prüfung fehlgeschlagen: Die Daten auf der Karte stimmen ab 8,4 MB "
                          "nicht mit dem Image überein (Karte defekt?)"}));
    QCOMPARE(run.exitCode, 1);
}

// WriteJob starts its helper as "<this program> --write-helper ...": here that is the installer.
void TestWriteStream::jobWritesTheCard()
{
    LoopDevice card(dir.filePath("stream-form.img"));
    if (!card.isAttached())
        QSKIP(qPrintable(card.error()));
    offerToJobs(card.path());
    const QByteArray image = randomBytes(20 * mib + 7, 25);
    WriteJob job;
    QStringList events;
    qint64 sent = 0;
    const auto produce = [&] {
        while (sent < image.size() && job.queuedBytes() <= WriteJob::streamHighWater) {
            QVERIFY(job.send(image.mid(sent, 700001)));
            sent = qMin(sent + 700001, qint64(image.size()));
        }
        if (sent == image.size())
            job.goAhead();
    };
    connect(&job, &WriteJob::ready, &job, [&] {
        events << QString("ready touched=%1").arg(job.cardTouched());
        produce();
    });
    connect(&job, &WriteJob::drained, &job, produce);
    connect(&job, &WriteJob::progress, &job, [&](qint64 done, qint64 total) {
        if (done == total)
            events << QString("all %1").arg(total);
    });
    connect(&job, &WriteJob::finished, &job, [&](bool ok, const QString &error) {
        events << QString("finished %1 %2").arg(ok).arg(error).trimmed();
    });
    job.startStream(card.path(), true, {readDiskSequence(card.path()), cardSize}, image.size());
    QVERIFY(QTest::qWaitFor([&] { return events.filter("finished").size() > 0; }, 120000));
    QCOMPARE(events, (QStringList{"ready touched=0", QString("all %1").arg(image.size()),
                                  QString("all %1").arg(image.size()), "finished 1"}));
    QVERIFY(job.cardTouched());
    QVERIFY(readRange(card.path(), 0, image.size()) == image);
}

// Cancelled while the card is slow and our writes to the helper wait: the run ends within
// seconds, and the card has no volume.
void TestWriteStream::jobCancelledWhileTheCardIsSlow()
{
    FaultyDisk::Options diskOptions;
    diskOptions.size = cardSize;
    diskOptions.writeRate = 4000000;
    const FaultyCard faulty(dir.path(), diskOptions);
    if (!faulty.isReady())
        QSKIP(qPrintable(faulty.error()));
    const LoopDevice &card = faulty.loop;
    offerToJobs(card.path());
    WriteJob job;
    QStringList events;
    QElapsedTimer sinceCancel;
    connect(&job, &WriteJob::ready, &job, [&] { job.send(randomBytes(cardSize, 26)); });
    connect(&job, &WriteJob::progress, &job, [&](qint64 done, qint64) {
        if (!sinceCancel.isValid() && done >= 4 * mib) {
            QVERIFY(job.queuedBytes() > 0);
            sinceCancel.start();
            job.cancel();
        }
    });
    connect(&job, &WriteJob::finished, &job,
            [&](bool ok, const QString &error) { events << QString("finished %1 %2").arg(ok).arg(error); });
    job.startStream(card.path(), true);
    QVERIFY(QTest::qWaitFor([&] { return !events.isEmpty(); }, 120000));
    QCOMPARE(events,
             QStringList{"finished 0 Abgebrochen. Die Karte ist unvollständig beschrieben und muss neu "
                         "bespielt werden."});
    QVERIFY2(sinceCancel.elapsed() < 5000, qPrintable(QString::number(sinceCancel.elapsed())));
    QVERIFY(!job.send("more"));
    QCOMPARE(readRange(card.path(), 0, mib), QByteArray(mib, '\0'));
}

// One image on standard input for three cards: every card held and checked before the run's
// READY, each written and read back, and each byte for byte what the one-card form writes.
void TestWriteStream::severalCardsFromOneStream()
{
    const qint64 size = 10 * mib + 1;
    const QByteArray image = randomBytes(size, 27);
    {
        const ThreeCards cards(dir.path());
        LoopDevice oneCard(dir.filePath("stream-form.img"));
        if (!cards.isReady() || !oneCard.isAttached())
            QSKIP(qPrintable(cards.error() + oneCard.error()));
        StreamRun single(oneCard.path(), {});
        single.finish(framed(image) + ImageStream::goAheadFrame(size));
        QCOMPARE(single.exitCode, 0);

        StreamRun run(cards.paths(), severalCards(cards.paths(), {QString("--image-size=%1").arg(size)}),
                      QString());
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(run.firstLine(), QString("CARD %1 READY").arg(n));
        QCOMPARE(run.firstLine(), QString("READY"));
        run.finish(framed(image) + ImageStream::goAheadFrame(size));
        QCOMPARE(run.runLines(), (QStringList{"READY", "DONE"}));
        for (int n = 1; n <= 3; ++n)
            QCOMPARE(run.cardLines(n), verifiedCardLines(size, size));
        QCOMPARE(run.lines().constLast(), QString("DONE"));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.helper.readAllStandardError(), QByteArray());
    }
    const QByteArray written = readFile(dir.filePath("stream-form.img"));
    QVERIFY(written.left(size) == image);
    for (int index = 0; index < 3; ++index)
        QVERIFY(readFile(dir.filePath(QString("card%1.img").arg(index))) == written);
}

// The middle card fails with EIO in the middle of the image: it stops with a zero first MiB and
// says so, and the other two are still written and verified; the run fails.
void TestWriteStream::oneOfThreeFailsOnItsOwn()
{
    FaultyDisk::Options failing;
    failing.size = cardSize;
    failing.failAfter = 9 * mib + 4096; // a bad patch behind the capacity check's block at 9 MiB
    failing.faultsBefore = 10 * mib;
    const ThreeCards cards(dir.path(), {{1, failing}});
    if (!cards.isReady())
        QSKIP(qPrintable(cards.error()));
    const QByteArray image = randomBytes(14 * mib, 28);
    StreamRun run(cards.paths(), severalCards(cards.paths()), QString());
    run.finish(framed(image) + ImageStream::goAheadFrame(image.size()));
    QCOMPARE(run.runLines(),
             (QStringList{"READY", "ERROR 1 von 3 Karten sind nicht geschrieben und geprüft."}));
    QCOMPARE(run.exitCode, 1);
    for (int n : {1, 3}) {
        QCOMPARE(run.cardLines(n), verifiedCardLines(image.size(), 0));
        QVERIFY(readRange(cards.path(n - 1), 0, image.size()) == image);
    }
    const QStringList failed = run.cardLines(2);
    QCOMPARE(failed.mid(0, 3),
             (QStringList{"READY", "WRITING", QString("PROGRESS write %1 0").arg(4 * mib)}));
    QVERIFY2(failed.constLast().startsWith("ERROR Schreibfehler auf " + cards.path(1) + ": ") &&
                 failed.constLast().endsWith(noVolume),
             qPrintable(failed.constLast()));
    QCOMPARE(readRange(cards.path(1), 0, mib), QByteArray(mib, '\0'));
}

// A fake card among three is refused before its first byte, with its own line, and the run goes
// on with the other two.
void TestWriteStream::fakeCardAmongThreeRefusedBeforeItsFirstByte()
{
    FaultyDisk::Options fake;
    fake.size = 64 * mib;
    fake.wrapAfter = 8 * mib;
    const ThreeCards cards(dir.path(), {{1, fake}});
    if (!cards.isReady())
        QSKIP(qPrintable(cards.error()));
    QVERIFY(writeFile(cards.path(1), QByteArray(8 * mib, '\xAA')));
    const QByteArray image = randomBytes(6 * mib, 29);
    StreamRun run(cards.paths(), severalCards(cards.paths()), QString());
    QCOMPARE(run.firstLine(), QString("CARD 1 READY"));
    QCOMPARE(run.firstLine(), "CARD 2 ERROR Die Karte meldet 67 MB, speichert aber nur etwa 8 MB. Sie ist "
                              "gefälscht oder defekt und "
                              "sollte nicht verwendet werden. Das Image wurde nicht geschrieben. " +
                                  unchanged);
    QCOMPARE(run.firstLine(), QString("CARD 3 READY"));
    QCOMPARE(run.firstLine(), QString("READY"));
    run.finish(framed(image) + ImageStream::goAheadFrame(image.size()));
    QCOMPARE(run.runLines(),
             (QStringList{"READY", "ERROR 1 von 3 Karten sind nicht geschrieben und geprüft."}));
    QCOMPARE(run.cardLines(2).size(), 1);
    QCOMPARE(run.exitCode, 1);
    for (int index : {0, 2})
        QVERIFY(readRange(cards.path(index), 0, image.size()) == image);
    QVERIFY(readRange(cards.path(1), 0, 8 * mib) == QByteArray(8 * mib, '\xAA'));
}

void TestWriteStream::severalCardsStopWithoutGoAhead_data()
{
    QTest::addColumn<QString>("end");
    QTest::addColumn<QString>("reason");
    QTest::newRow("abort") << "abort" << aborted;
    QTest::newRow("input-ends") << "close" << endedEarly;
    QTest::newRow("sender-killed") << "kill-sender" << endedEarly;
}

// An abort, the input's end or a killed sender stop every card, each with a zero first MiB.
void TestWriteStream::severalCardsStopWithoutGoAhead()
{
    QFETCH(QString, end);
    QFETCH(QString, reason);
    const ThreeCards cards(dir.path());
    if (!cards.isReady())
        QSKIP(qPrintable(cards.error()));
    const QByteArray image = randomBytes(6 * mib, 30);
    QVERIFY(writeFile(dir.filePath("input"), framed(image)));
    StreamRun run(cards.paths(), severalCards(cards.paths()),
                  end == "kill-sender" ? dir.filePath("input") : "");
    if (end == "kill-sender") {
        while (run.cardLines(3).filter("PROGRESS write").isEmpty() && run.helper.waitForReadyRead(60000))
            run.output += run.helper.readAll();
        QTest::qWait(500);
        run.sender.kill();
        run.wait();
    } else {
        run.finish(framed(image) + (end == "abort" ? ImageStream::abortFrame() : QByteArray()));
    }
    QCOMPARE(run.runLines(), (QStringList{"READY", "ERROR " + reason}));
    QCOMPARE(run.exitCode, 1);
    for (int n = 1; n <= 3; ++n) {
        QCOMPARE(run.cardLines(n).constLast(), "ERROR " + reason + ' ' + noVolume);
        QCOMPARE(readRange(cards.path(n - 1), 0, mib), QByteArray(mib, '\0'));
        QVERIFY(readRange(cards.path(n - 1), mib, 3 * mib) == image.mid(mib, 3 * mib));
    }
}

// WriteJob with three cards, the middle one failing with EIO: one prompt's helper, each card's
// signals under its index, the failed card's end before the run's, the run failing.
void TestWriteStream::jobWritesSeveralCards()
{
    FaultyDisk::Options failing;
    failing.size = cardSize;
    failing.failAfter = 9 * mib + 4096;
    failing.faultsBefore = 10 * mib;
    const ThreeCards cards(dir.path(), {{1, failing}});
    if (!cards.isReady())
        QSKIP(qPrintable(cards.error()));
    qputenv("PATH", pathWithRemovableLsblk(qEnvironmentVariable("PATH")).toUtf8());
    qputenv("TOBRA_REMOVABLE_DEVICES", cards.paths().join(':').toUtf8());
    const QByteArray image = randomBytes(14 * mib, 31);
    WriteJob job;
    QStringList events;
    QList<qint64> lastDone(3, 0);
    connect(&job, &WriteJob::ready, &job, [&] {
        events << "ready";
        job.send(image);
        job.goAhead();
    });
    connect(&job, &WriteJob::cardWriting, &job, [&](int card) { events << QString("writing %1").arg(card); });
    connect(&job, &WriteJob::cardProgress, &job,
            [&](int card, const QString &phase, qint64 done, qint64 total) {
                QCOMPARE(total, image.size());
                if (phase == "verify")
                    lastDone[card] = done;
            });
    connect(&job, &WriteJob::cardFinished, &job, [&](int card, bool ok, const QString &error) {
        events << QString("card %1 %2 %3").arg(card).arg(ok).arg(error.section(':', 0, 0)).trimmed();
    });
    connect(&job, &WriteJob::finished, &job,
            [&](bool ok, const QString &error) { events << QString("finished %1 %2").arg(ok).arg(error); });
    job.startStream({{cards.path(0), {}}, {cards.path(1), {}}, {cards.path(2), {}}}, true, image.size());
    QCOMPARE(job.cardCount(), 3);
    QVERIFY(QTest::qWaitFor([&] { return !events.filter("finished").isEmpty(); }, 120000));
    QCOMPARE(events.first(), QString("ready"));
    QCOMPARE(events.filter("writing").size(), 3);
    QCOMPARE(events.filter("card ").size(), 3);
    for (const QString &end :
         QStringList{"card 0 1", "card 2 1", "card 1 0 Schreibfehler auf " + cards.path(1)})
        QVERIFY2(events.contains(end), qPrintable(events.join('|')));
    QCOMPARE(events.constLast(), QString("finished 0 1 von 3 Karten sind nicht geschrieben und geprüft."));
    QCOMPARE(lastDone, (QList<qint64>{image.size(), 0, image.size()}));
    for (int card = 0; card < 3; ++card)
        QVERIFY(job.cardTouched(card));
}

void TestWriteStream::cardPulledWhileNoInputComes_data()
{
    QTest::addColumn<int>("cards");
    QTest::newRow("one-card") << 1;
    QTest::newRow("the-second-of-three") << 3;
}

// The image is slower than the card: the card pulled while the helper waits for input is noticed
// while the input stays open, not only at its next write. Of several cards only that one stops,
// with a zero first MiB; the others go on to the end.
void TestWriteStream::cardPulledWhileNoInputComes()
{
    QFETCH(int, cards);
    FaultyDisk::Options options;
    options.size = cardSize;
    ThreeCards three(dir.path(), {{1, options}});
    if (!three.isReady())
        QSKIP(qPrintable(three.error()));
    const QByteArray image = randomBytes(9 * mib, 32);
    StreamRun run(cards == 1 ? QStringList{three.path(1)} : three.paths(),
                  cards == 1 ? QStringList{"--stdin", three.path(1), "--verify"}
                             : severalCards(three.paths()),
                  QString());
    run.helper.write(framed(image.left(4 * mib))); // one whole chunk: nothing waits to be written
    const QString written = cards == 1 ? "PROGRESS write" : "CARD 2 PROGRESS write";
    while (!run.output.contains(written.toUtf8()) && run.helper.waitForReadyRead(60000))
        run.output += run.helper.readAll();
    three.pullFaulty();
    const QString failed = cards == 1 ? "ERROR " : "CARD 2 ERROR ";
    while (!run.output.contains(failed.toUtf8()) && run.helper.waitForReadyRead(10000))
        run.output += run.helper.readAll();
    QVERIFY2(run.output.contains(failed.toUtf8()), run.output.constData());
    run.finish(framed(image.mid(4 * mib)) + ImageStream::goAheadFrame(image.size()));
    const QStringList lines = cards == 1 ? run.lines() : run.cardLines(2);
    const QString expected =
        "ERROR Die Karte unter " + three.path(1) + " antwortet nicht mehr (entfernt oder defekt): ";
    QVERIFY2(lines.constLast().startsWith(expected) && lines.constLast().endsWith(noVolume),
             qPrintable(lines.constLast()));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(readRange(dir.filePath("faulty1/faultydisk.data"), 0, mib), QByteArray(mib, '\0'));
    if (cards == 1)
        return;
    QCOMPARE(run.runLines().constLast(), QString("ERROR 1 von 3 Karten sind nicht geschrieben und geprüft."));
    for (int index : {0, 2})
        QVERIFY(readRange(three.path(index), 0, image.size()) == image);
}

int main(int argc, char **argv)
{
    if (argc > 1 && qstrcmp(argv[1], "--write-helper") == 0) {
        const QByteArray installer = qgetenv("TOBRA_INSTALLER");
        argv[0] = const_cast<char *>(installer.constData());
        ::execv(installer.constData(), argv);
        return 127;
    }
    QCoreApplication app(argc, argv);
    TestWriteStream test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_writestream.moc"
