// SPDX-License-Identifier: GPL-3.0-or-later
// An installation keeps the computer awake while it runs: a fake login manager on a private bus
// that stands in for the system bus sees the inhibitor taken and let go; without one the run goes
// on as before.
#include "fakelogin1.h"
#include "fakenotifications.h"
#include "installation.h"
#include "installsuite.h"
#include "writehelper.h"

#include <QSignalSpy>
#include <QTest>

class TestSleepInhibitor : public QObject, private InstallFixture
{
    Q_OBJECT

private:
    std::unique_ptr<PrivateSessionBus> systemBus;
    FakeLogin1 login;

    // A listed version, fetched slowly, for the given card.
    InstallRequest slowDownload(const QString &card) const
    {
        InstallRequest request;
        request.version = VersionEntry{"Tobra Demo", demoImage, "", QString::fromLatin1(demoSha)};
        request.expectedSha256 = request.version.sha256;
        request.imageBase = server->url("/__q/rate=2000000/demo/images/");
        request.romFile = romPath;
        request.targets = {freshDrive(listDrives(), card)};
        return request;
    }

private Q_SLOTS:
    void initTestCase()
    {
        const QString missing = missingForDemo();
        if (!missing.isEmpty())
            QSKIP(qPrintable(missing));
        // Before the first use of the system bus, which this process then keeps.
        systemBus = std::make_unique<PrivateSessionBus>("DBUS_SYSTEM_BUS_ADDRESS");
        if (!systemBus->error().isEmpty())
            QSKIP(qPrintable(systemBus->error()));
        QVERIFY(setUpDemo());
    }

    void init() { QVERIFY(setUpTest()); }
    void cleanup() { tearDownTest(); }

    void heldWhileRunning_data()
    {
        QTest::addColumn<bool>("loginManager");
        QTest::newRow("login manager") << true;
        QTest::newRow("no login manager") << false;
    }

    // Asked for at the start, held during the download, let go at the end.
    void heldWhileRunning()
    {
        QFETCH(bool, loginManager);
        login.calls.clear();
        if (loginManager)
            QVERIFY(login.serve(systemBus->address(), "login1"));
        else
            QDBusConnection::disconnectFromBus("login1");

        const std::unique_ptr<LoopDevice> card = attachCard();
        QVERIFY(card);
        if (!card->isAttached())
            QSKIP(qPrintable(card->error()));
        Installation job;
        QSignalSpy progress(&job, &Installation::progress);
        QSignalSpy ends(&job, &Installation::finished);
        job.start(slowDownload(card->path()));
        QVERIFY(QTest::qWaitFor([&] { return progress.size() > 2 || !ends.isEmpty(); }, 30000));
        QCOMPARE(job.step(), Installation::Step::Fetching);
        if (loginManager) {
            QTRY_COMPARE(login.held(), 1);
            QCOMPARE(login.calls, QStringList({"sleep:idle", "Tobra Installer",
                                               "Tobra wird auf eine Speicherkarte geschrieben.", "block"}));
        }
        job.cancel();
        QVERIFY(ends.wait(30000));
        QCOMPARE(job.outcome(), Installation::Outcome::Cancelled);
        QTRY_COMPARE(login.held(), 0);
        QCOMPARE(login.calls.size(), loginManager ? 4 : 0);
    }

    // A run that is refused never asks.
    void refusedRunNeverAsks()
    {
        QVERIFY(login.serve(systemBus->address(), "login1"));
        login.calls.clear();
        Installation job;
        QSignalSpy ends(&job, &Installation::finished);
        InstallRequest request = slowDownload("/dev/tobratest9");
        request.romFile.clear();
        job.start(request);
        QCOMPARE(ends.size(), 1);
        QTest::qWait(200);
        QCOMPARE(login.calls, QStringList());
    }
};

int main(int argc, char **argv)
{
    // The job starts this executable as its write helper, as the program does.
    if (argc > 1 && qstrcmp(argv[1], "--write-helper") == 0)
        return runWriteHelper(argc, argv);
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
    TestSleepInhibitor test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_sleepinhibitor.moc"
