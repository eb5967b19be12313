#include "drives.h"
#include "fail.h"
#include "runprogram.h"
#include "writehelper.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>

namespace {

const int UMOUNT_TIMEOUT_MS = 30000;

// Mount points of all devices in the output, in document order; unreadable output has none.
QStringList mountpointsIn(const QByteArray &lsblkOutput)
{
    QStringList mountpoints;
    const QJsonDocument document = QJsonDocument::fromJson(sanitizeLsblkBytes(lsblkOutput));
    const QJsonArray devices = document.object().value("blockdevices").toArray();
    for (const QJsonValue &device : devices)
        collectMountpoints(device.toObject(), mountpoints);
    return mountpoints;
}

} // namespace

bool unmountTarget(const QString &devicePath, QString *error)
{
    bool ok = false;
    const QByteArray output = runLsblkForMountpoints(
        [&devicePath](const QString &mountColumn) {
            return QStringList{"-J", "-o", "NAME," + mountColumn, devicePath};
        },
        &ok);
    if (!ok)
        return fail(error, QString("lsblk konnte die Einhängepunkte von %1 nicht ermitteln").arg(devicePath));

    // Longest first, so a mount inside another one is taken down before it.
    QStringList mountpoints = mountpointsIn(output);
    std::sort(mountpoints.begin(), mountpoints.end(),
              [](const QString &a, const QString &b) { return a.size() > b.size(); });
    for (const QString &mountpoint : std::as_const(mountpoints)) {
        if (isSystemMountpoint(mountpoint))
            return fail(error, QString("%1 enthält das Systemverzeichnis %2, das wird nicht überschrieben")
                                   .arg(devicePath, mountpoint));
        QString reason;
        if (!runProgram("umount", {mountpoint}, UMOUNT_TIMEOUT_MS, nullptr, &reason))
            return fail(error, QString("%1 konnte nicht ausgehängt werden: %2").arg(mountpoint, reason));
    }
    return true;
}
