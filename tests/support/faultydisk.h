// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test fixture: a disk that fails like hardware, served by faultydisk.py over FUSE. Put a
// LoopDevice on file() (declare it after this object, so it is detached first):
//
//   FaultyDisk::Options options;
//   options.size = 32 << 20;
//   options.failAfter = 8 << 20;             // EIO for reads and writes from here on
//   FaultyDisk disk(tempDir.path(), options);
//   if (!disk.isRunning()) QSKIP(qPrintable(disk.error()));
//   LoopDevice loop(disk.file());
//
// The data lives in a sparse backing file in the given folder. The destructor unmounts the file
// system and waits for the program to end. Needs /usr/bin/python3 with python3-fusepy, /dev/fuse
// and root; error() says what was missing.

#include "loopdevice.h"

#include <QDir>
#include <QFileInfo>

class FaultyDisk
{
public:
    struct Options
    {
        qint64 size = 0;
        qint64 failAfter = -1;      // < 0: never fails
        qint64 failReadsAfter = -1; // < 0: reads never fail
        qint64 unreadableFrom = -1; // < 0: no bad spot; else reads touching it fail
        qint64 unreadableTo = -1;   // first byte after the bad spot
        qint64 corruptAfter = -1;   // < 0: reads return what was written
        qint64 faultsBefore = -1;   // >= 0: the three faults above end here
        qint64 writeRate = 0;       // bytes per second, 0: unthrottled
        qint64 wrapAfter = -1;      // >= 0: holds only this much, addresses beyond wrap around
        qint64 dropAfter = -1;      // >= 0: holds only this much, writes beyond vanish silently
    };

    FaultyDisk(const QString &folder, const Options &options)
        : mountDir(folder + "/faultydisk"), backingFile(folder + "/faultydisk.data")
    {
        start(options);
    }
    ~FaultyDisk() { stop(); }
    Q_DISABLE_COPY(FaultyDisk)

    bool isRunning() const { return mounted; }
    QString file() const { return mountDir + "/disk.img"; }
    // Ends the file system at once: every access to the file fails from now on, as with a card
    // pulled out of its reader.
    void pull()
    {
        process.kill();
        process.waitForFinished();
        runTool(systemTool("umount"), {"-l", mountDir});
    }
    QString error() const { return failure; }

private:
    static QString script() { return qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/faultydisk.py"; }

    void start(const Options &options)
    {
        if (!QFileInfo::exists("/dev/fuse") || !runTool("/usr/bin/python3", {"-c", "import fusepy"})) {
            failure = "needs /dev/fuse and python3-fusepy under /usr/bin/python3";
            return;
        }
        QFile backing(backingFile);
        if (!QDir().mkpath(mountDir) || !backing.open(QIODevice::WriteOnly) ||
            !backing.resize(options.size)) {
            failure = "cannot create " + backingFile;
            return;
        }
        backing.close();
        QStringList arguments{script(), mountDir, "--backing", backingFile};
        if (options.failAfter >= 0)
            arguments << "--fail-after" << QString::number(options.failAfter);
        if (options.failReadsAfter >= 0)
            arguments << "--fail-reads-after" << QString::number(options.failReadsAfter);
        if (options.unreadableFrom >= 0)
            arguments << "--unreadable" << QString::number(options.unreadableFrom)
                      << QString::number(options.unreadableTo);
        if (options.corruptAfter >= 0)
            arguments << "--corrupt-after" << QString::number(options.corruptAfter);
        if (options.faultsBefore >= 0)
            arguments << "--faults-before" << QString::number(options.faultsBefore);
        if (options.writeRate > 0)
            arguments << "--write-rate" << QString::number(options.writeRate);
        if (options.wrapAfter >= 0)
            arguments << "--wrap-after" << QString::number(options.wrapAfter);
        if (options.dropAfter >= 0)
            arguments << "--drop-after" << QString::number(options.dropAfter);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start("/usr/bin/python3", arguments);
        waitForMount();
    }

    void waitForMount()
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 15000 && process.state() != QProcess::NotRunning) {
            if (QFileInfo::exists(file())) {
                mounted = true;
                return;
            }
            QThread::msleep(50);
        }
        failure = "faultydisk.py did not mount " + mountDir;
    }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        // A loop device let go of just now may need a moment before the file system is free.
        QElapsedTimer waited;
        waited.start();
        while (!runTool(systemTool("umount"), {mountDir}) && waited.elapsed() < 5000)
            QThread::msleep(100);
        if (!process.waitForFinished(15000)) {
            process.kill();
            process.waitForFinished();
            runTool(systemTool("umount"), {"-l", mountDir});
        }
    }

    QString mountDir;
    QString backingFile;
    QProcess process;
    bool mounted = false;
    QString failure;
};
