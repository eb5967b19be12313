// SPDX-License-Identifier: GPL-3.0-or-later
#include "drivewatcher.h"

#include <QFile>

DriveWatcher::DriveWatcher(QObject *parent, const QString &listFilePath, int intervalMs)
    : QObject(parent), listFile(listFilePath)
{
    timer.setInterval(intervalMs);
    connect(&timer, &QTimer::timeout, this, &DriveWatcher::poll);
}

void DriveWatcher::start()
{
    known = readList();
    timer.start();
}

void DriveWatcher::stop()
{
    timer.stop();
}

void DriveWatcher::poll()
{
    const QByteArray current = readList();
    if (current == known)
        return;
    known = current;
    Q_EMIT changed();
}

// A file under /proc reports size 0, so it is read to its end rather than by its size.
QByteArray DriveWatcher::readList() const
{
    QFile file(listFile);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}
