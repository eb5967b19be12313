// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Shared by the tests of the installation job, of the window's workflow and of the command line:
// the demo image, a fake or a slow card, the card's files read back, the requests the test server
// saw.

#include "faultydisk.h"
#include "httpserver.h"
#include "loopdevice.h"
#include "removablelsblk.h"
#include "testfiles.h"

#include <QFile>
#include <memory>
#include <vector>

constexpr qint64 cardBytes = 48 * 1024 * 1024;
constexpr qint64 partitionOffset = 1024 * 1024;
const QString demoImage = QStringLiteral("tobra-demo.img");

// A drive that lsblk reports but that does not exist: runs that must never reach the helper.
inline QByteArray fakeDrive(qint64 size)
{
    return QStringLiteral(R"({"blockdevices": [
  {"name": "tobratest9", "path": "/dev/tobratest9", "size": %1, "type": "disk", "rm": true,
   "hotplug": true, "tran": "usb", "vendor": "Test", "model": "Card", "ro": false, "mountpoints": [null]}]})")
        .arg(size)
        .toUtf8();
}

// Builds the demonstration set (version list, image, ROM files) in folder.
inline bool makeDemo(const QString &folder, const QStringList &options = {})
{
    QByteArray output;
    const bool ok = runTool(qEnvironmentVariable("TOBRA_SCRIPTS") + "/make-demo.sh",
                            QStringList{folder} + options, &output);
    if (!ok)
        qWarning("make-demo.sh: %s", output.constData());
    return ok;
}

// Puts the wrapper first on PATH that shows the devices to the drive rules as removable disks.
inline void showAsRemovable(const QStringList &devices, const QByteArray &originalPath)
{
    qputenv("PATH", QFile::encodeName(pathWithRemovableLsblk(QFile::decodeName(originalPath))));
    qputenv("TOBRA_REMOVABLE_DEVICES", devices.join(':').toUtf8());
}

// The card's FAT file name, read with mtools from the device through the scratch file.
inline QByteArray cardFile(const QString &device, const QString &name, const QString &scratch)
{
    QFile::remove(scratch);
    QByteArray output;
    if (!runTool("mcopy",
                 {"-n", "-i", device + "@@" + QString::number(partitionOffset), "::" + name, scratch},
                 &output))
        return "mcopy failed: " + output;
    return readFile(scratch);
}

inline QStringList pathsOf(const std::vector<std::unique_ptr<LoopDevice>> &loops)
{
    QStringList paths;
    for (const std::unique_ptr<LoopDevice> &loop : loops)
        paths << loop->path();
    return paths;
}

// The requests of the method the server saw from number first on.
inline QList<HttpServer::Request> requestsSince(const HttpServer &server, int first, const QString &method)
{
    QList<HttpServer::Request> result;
    for (const HttpServer::Request &request : server.requests().mid(first))
        if (request.method == method)
            result.append(request);
    return result;
}

// A card that fails with EIO half-way through the demo image: a bad patch between the blocks the
// fake-card check probes, so that the card passes the check and fails while it is written.
inline FaultyDisk::Options failingHalfWay()
{
    FaultyDisk::Options options;
    options.size = cardBytes;
    options.failAfter = 33 * 512 * 1024 + 4096; // behind the probe at 16,5 MiB
    options.faultsBefore = 35 * 512 * 1024;
    return options;
}

// A loop card over a FUSE file with the faults of the options.
class FaultyCard
{
public:
    FaultyCard(const QString &folder, const FaultyDisk::Options &options) : disk(folder, options)
    {
        if (disk.isRunning())
            loop = std::make_unique<LoopDevice>(disk.file());
    }
    Q_DISABLE_COPY(FaultyCard)

    // Why there is no card; empty when there is.
    QString error() const
    {
        if (!loop)
            return disk.error();
        return loop->isAttached() ? QString() : loop->error();
    }
    QString path() const { return loop->path(); }
    // Every access fails from now on, as with a card pulled out of its reader.
    void pull() { disk.pull(); }

private:
    FaultyDisk disk;
    std::unique_ptr<LoopDevice> loop;
};

// A loop card over a FUSE file that takes 2 MB/s: a write is still running when the test acts.
class SlowCard : public FaultyCard
{
public:
    explicit SlowCard(const QString &folder) : FaultyCard(folder, options()) {}

private:
    static FaultyDisk::Options options()
    {
        FaultyDisk::Options slow;
        slow.size = cardBytes;
        slow.writeRate = 2000000;
        return slow;
    }
};
