// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

// Tells when the kernel's set of block devices changes (a card inserted, removed, or a reader
// reporting a new medium), by comparing /proc/partitions about once a second. Cheap enough to
// run all the time: it reads one small file and runs no program.
class DriveWatcher : public QObject
{
    Q_OBJECT

public:
    // Watches listFilePath (the kernel's partition list unless a test names another) every intervalMs.
    explicit DriveWatcher(QObject *parent = nullptr,
                          const QString &listFilePath = QStringLiteral("/proc/partitions"),
                          int intervalMs = 1000);
    Q_DISABLE_COPY(DriveWatcher)

    // Takes the current list as the known state and watches from now on.
    void start();
    void stop();

Q_SIGNALS:
    // The list differs from the one seen before; emitted once per change seen.
    void changed();

private:
    void poll();
    QByteArray readList() const;

    QString listFile;
    QTimer timer;
    QByteArray known;
};
