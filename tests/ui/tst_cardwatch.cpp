// SPDX-License-Identifier: GPL-3.0-or-later
#include "loopdevice.h"
#include "mainwindow.h"
#include "removablelsblk.h"
#include "windowfixture.h"

#include <QComboBox>
#include <QTest>
#include <memory>

// Cards inserted and removed while the window runs: real loop devices, shown to the drive rules
// as removable disks by the lsblk wrapper.
class TestCardWatch : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<MainWindow> makeWindow()
    {
        auto window = std::make_unique<MainWindow>(QUrl::fromLocalFile(scratch.filePath("none.json")),
                                                   QUrl(QStringLiteral("https://images.example.org/tobra/")));
        window->show();
        return window;
    }

    // A sparse card file on a loop device that the wrapper shows as removable from now on.
    std::unique_ptr<LoopDevice> insertCard(const QString &name)
    {
        QFile card(scratch.filePath(name));
        if (!card.open(QIODevice::WriteOnly) || !card.resize(64 << 20))
            return nullptr;
        card.close();
        auto loop = std::make_unique<LoopDevice>(card.fileName());
        if (!loop->isAttached())
            return nullptr;
        removable << loop->path();
        qputenv("TOBRA_REMOVABLE_DEVICES", removable.join(':').toLocal8Bit());
        return loop;
    }

    QTemporaryDir scratch;
    QStringList removable;

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("loop devices need root");
        QCoreApplication::setOrganizationName(QStringLiteral("Drellwerk"));
        QCoreApplication::setApplicationName(QStringLiteral("TobraInstaller"));
        qputenv("PATH", pathWithRemovableLsblk(qEnvironmentVariable("PATH")).toLocal8Bit());
    }

    void init() { removable.clear(); }

    // The first card becomes the choice, a second one does not take it over, and the chosen card
    // pulled out leaves no choice.
    void cardsComeAndGo()
    {
        const auto window = makeWindow();
        auto *drives = member<QComboBox>(*window, "driveCombo");

        auto first = insertCard("first.img");
        if (!first)
            QSKIP("no loop device to attach");
        const QString firstPath = first->path();
        QTRY_COMPARE_WITH_TIMEOUT(drives->currentData().toString(), firstPath, 3000);
        const QString firstLabel = drives->currentText();
        QVERIFY2(logLines(*window).contains("Speicherkarte erkannt: " + firstLabel), qPrintable(firstLabel));

        auto second = insertCard("second.img");
        QVERIFY(second);
        QTRY_VERIFY_WITH_TIMEOUT(drives->findData(second->path()) >= 0, 3000);
        QCOMPARE(drives->currentData().toString(), firstPath);

        first.reset();
        QTRY_VERIFY_WITH_TIMEOUT(drives->findData(firstPath) < 0, 3000);
        QCOMPARE(drives->currentData().toString(), QString());
        QVERIFY(logLines(*window).contains("Speicherkarte entfernt: " + firstLabel));
    }

    // During an installation the list stays as it is; the window catches up once idle.
    void notDuringAnInstallation()
    {
        const auto window = makeWindow();
        auto *drives = member<QComboBox>(*window, "driveCombo");
        window->setBusy(true);
        auto card = insertCard("card.img");
        if (!card)
            QSKIP("no loop device to attach");
        QTest::qWait(2500);
        QCOMPARE(drives->findData(card->path()), -1);

        window->setBusy(false);
        QCOMPARE(drives->currentData().toString(), card->path());
    }
};

QTEST_MAIN(TestCardWatch)
#include "tst_cardwatch.moc"
