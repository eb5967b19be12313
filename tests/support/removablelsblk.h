// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Shows chosen loop devices as removable disks to everything that runs lsblk from PATH, through
// the stand-in in removable-lsblk/ (see the comment at its top).

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

inline QString removableLsblkFolder()
{
    return qEnvironmentVariable("TOBRA_TEST_SUPPORT") + "/removable-lsblk";
}

// PATH with the stand-in first, for this process or a child's environment.
inline QString pathWithRemovableLsblk(const QString &path)
{
    return removableLsblkFolder() + ":" + path;
}

// A child environment in which the devices are removable disks.
inline QProcessEnvironment environmentWithRemovable(const QStringList &devices)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", pathWithRemovableLsblk(environment.value("PATH")));
    environment.insert("TOBRA_REMOVABLE_DEVICES", devices.join(':'));
    return environment;
}
