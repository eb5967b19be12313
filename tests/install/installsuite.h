// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The fixture of the installation job's suite and of the window's workflow suite.

#include "installation.h"
#include "installfixture.h"
#include "mounts.h"
#include "windowfixture.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <vector>

// The set-up both suites share: once, the demonstration set served by the test server; per test,
// a fresh folder for card files and the user's cache, the original PATH and a fake drive.
class InstallFixture
{
protected:
    // Why the demonstration set cannot be made here (a tool missing); empty when it can.
    static QString missingForDemo()
    {
        if (!QFileInfo::exists(qEnvironmentVariable("TOBRA_SCRIPTS") + "/make-demo.sh"))
            return "needs scripts/make-demo.sh (TOBRA_SCRIPTS)";
        for (const char *tool : {"sfdisk", "mkfs.fat", "mmd", "mcopy"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return QString("needs %1 (packages fdisk, dosfstools, mtools)").arg(tool);
        return QString();
    }

    // Makes the demonstration set in demo/ and serves the fixtures; false with a warning when not.
    bool setUpDemo()
    {
        if (!fixtures.isValid() || !makeDemo(fixtures.filePath("demo")))
            return false;
        demoSha = sha256Hex(readFile(demoPath()));
        romPath = fixtures.filePath("demo/roms/kick-demo.rom");
        extPath = fixtures.filePath("demo/roms/ext-demo.rom");
        server = std::make_unique<HttpServer>(fixtures.path());
        if (!server->isRunning())
            qWarning("%s", qPrintable(server->errorString()));
        originalPath = qgetenv("PATH");
        qputenv("MTOOLS_SKIP_CHECK", "1");
        return server->isRunning();
    }

    bool setUpTest()
    {
        dir = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CACHE_HOME", QFile::encodeName(dir->filePath("cache")));
        qputenv("PATH", originalPath);
        qunsetenv("TOBRA_REMOVABLE_DEVICES");
        lsblk = std::make_unique<FakeLsblk>();
        lsblk->answer(fakeDrive(15931539456));
        requestsBefore = server ? server->requests().size() : 0;
        return dir->isValid();
    }

    void tearDownTest()
    {
        lsblk.reset();
        dir.reset();
    }

    QString demoPath() const { return fixtures.filePath("demo/images/" + demoImage); }

    // The requests of the method since the test began.
    QList<HttpServer::Request> newRequests(const QString &method) const
    {
        return requestsSince(*server, requestsBefore, method);
    }

    static QStringList workLeftovers()
    {
        return QDir(Installation::workingRoot()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    // Real devices take the fake drive's place.
    void showAsRemovable(const QStringList &devices)
    {
        lsblk.reset();
        ::showAsRemovable(devices, originalPath);
    }

    // An empty card file on a loop device, shown as removable once attached; none when the
    // file cannot be made.
    std::unique_ptr<LoopDevice> attachCard(qint64 size = cardBytes, const QString &name = "card.img")
    {
        const QString cardPath = dir->filePath(name);
        if (!makeCardFile(cardPath, size, {}))
            return nullptr;
        auto card = std::make_unique<LoopDevice>(cardPath);
        if (card->isAttached())
            showAsRemovable({card->path()});
        return card;
    }

    // Empty cards on loop devices, each in a file of its own, all shown as removable together with
    // the extra devices; none, and the reason in cardsMissing, when one cannot be attached.
    std::vector<std::unique_ptr<LoopDevice>> attachCards(int count, const QStringList &extraDevices = {})
    {
        std::vector<std::unique_ptr<LoopDevice>> cards;
        QStringList devices = extraDevices;
        for (int i = 0; i < count; ++i) {
            const QString cardPath = dir->filePath(QString("card%1.img").arg(i));
            if (!makeCardFile(cardPath, cardBytes, {})) {
                cardsMissing = "cannot make " + cardPath;
                return {};
            }
            cards.push_back(std::make_unique<LoopDevice>(cardPath));
            if (!cards.back()->isAttached()) {
                cardsMissing = cards.back()->error();
                return {};
            }
            devices << cards.back()->path();
        }
        showAsRemovable(devices);
        return cards;
    }

    QTemporaryDir fixtures; // served over HTTP: demo/, lists in folders of their own
    QByteArray demoSha;
    QString romPath;
    QString extPath;
    std::unique_ptr<HttpServer> server;
    QByteArray originalPath;
    std::unique_ptr<QTemporaryDir> dir; // per test: card files, the user's cache
    std::unique_ptr<FakeLsblk> lsblk;
    int requestsBefore = 0;
    QString cardsMissing; // why attachCards() gave none
};
