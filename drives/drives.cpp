// SPDX-License-Identifier: GPL-3.0-or-later
#include "drives.h"

#include "germannumber.h"
#include "runprogram.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <optional>

namespace {

constexpr int lsblkTimeoutMs = 10000;
constexpr qint64 minDriveBytes = qint64(1) << 20;
constexpr qint64 maxDriveBytes = qint64(1) << 41;
constexpr int maxDeviceText = 64;

constexpr char listColumns[] = "NAME,PATH,SIZE,TYPE,RM,HOTPLUG,TRAN,MODEL,VENDOR,RO,LABEL,";

qint64 readSize(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().toLongLong(nullptr, 10);
    const double number = value.toDouble();
    // Anything outside qint64 fails the size rule anyway; converting it would be undefined.
    if (!(number > -9.0e18 && number < 9.0e18))
        return -1;
    return qint64(number);
}

bool isCandidateKind(const QJsonObject &device, const QString &name, const QString &sysfsRoot)
{
    return jsonFlag(device.value(QLatin1String("rm"))) || jsonFlag(device.value(QLatin1String("hotplug"))) ||
           device.value(QLatin1String("tran")).toString() == QLatin1String("usb") ||
           isSdCard(name, sysfsRoot);
}

bool hasSystemMountpoint(const QJsonObject &device)
{
    QStringList mountpoints;
    collectMountpoints(device, mountpoints);
    for (const QString &mountpoint : mountpoints) {
        if (isSystemMountpoint(mountpoint))
            return true;
    }
    return false;
}

// The labels of the disk's file systems, its own and its partitions', each once and cleaned.
void collectFileSystemLabels(const QJsonObject &device, QStringList &labels)
{
    const QString label = cleanDeviceText(device.value(QLatin1String("label")).toString());
    if (!label.isEmpty() && !labels.contains(label))
        labels.append(label);
    const QJsonArray children = device.value(QLatin1String("children")).toArray();
    for (const QJsonValue &child : children)
        collectFileSystemLabels(child.toObject(), labels);
}

DriveInfo makeDriveInfo(const QJsonObject &device, const QString &name, qint64 size)
{
    DriveInfo drive;
    drive.path = device.value(QLatin1String("path")).toString();
    if (drive.path.isEmpty())
        drive.path = QStringLiteral("/dev/") + name;
    const QString vendor = cleanDeviceText(device.value(QLatin1String("vendor")).toString());
    const QString model = cleanDeviceText(device.value(QLatin1String("model")).toString());
    QString displayName = (vendor + QLatin1Char(' ') + model).trimmed();
    if (displayName.isEmpty())
        displayName = QStringLiteral("Speicherkarte / USB-Laufwerk");
    drive.name = displayName;
    drive.label = QStringLiteral("%1 (%2) – %3").arg(displayName, germanSize(size), drive.path);
    drive.sizeBytes = size;
    collectFileSystemLabels(device, drive.fileSystemLabels);
    return drive;
}

std::optional<DriveInfo> candidateDrive(const QJsonObject &device, const QString &sysfsRoot)
{
    if (device.value(QLatin1String("type")).toString() != QLatin1String("disk") ||
        jsonFlag(device.value(QLatin1String("ro"))))
        return std::nullopt;
    const QString name = device.value(QLatin1String("name")).toString();
    const qint64 size = readSize(device.value(QLatin1String("size")));
    if (size < minDriveBytes || size > maxDriveBytes)
        return std::nullopt;
    if (!isCandidateKind(device, name, sysfsRoot) || hasSystemMountpoint(device))
        return std::nullopt;
    return makeDriveInfo(device, name, size);
}

} // namespace

QByteArray runLsblk(const QStringList &arguments, bool *ok)
{
    QByteArray output;
    *ok = runProgram(QStringLiteral("lsblk"), arguments, lsblkTimeoutMs, &output);
    return output;
}

QByteArray runLsblkForMountpoints(const std::function<QStringList(const QString &)> &arguments, bool *ok)
{
    const QByteArray output = runLsblk(arguments(QStringLiteral("MOUNTPOINTS")), ok);
    if (*ok)
        return output;
    return runLsblk(arguments(QStringLiteral("MOUNTPOINT")), ok);
}

QList<DriveInfo> listDrives(QString *error)
{
    bool ok = false;
    const QByteArray output = runLsblkForMountpoints(
        [](const QString &mountColumn) {
            return QStringList{QStringLiteral("-J"), QStringLiteral("-b"), QStringLiteral("-o"),
                               QLatin1String(listColumns) + mountColumn};
        },
        &ok);
    if (!ok) {
        if (error)
            *error = QStringLiteral("lsblk (Paket util-linux) konnte nicht ausgeführt werden");
        return {};
    }
    QList<DriveInfo> drives = parseLsblkOutput(output, error);
    for (DriveInfo &drive : drives)
        drive.diskseq = readDiskSequence(drive.path);
    return drives;
}

quint64 readDiskSequence(const QString &devicePath)
{
    QFile file(QStringLiteral("/sys/class/block/") + QFileInfo(devicePath).fileName() +
               QLatin1String("/diskseq"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return file.readLine(32).trimmed().toULongLong();
}

QList<DriveInfo> parseLsblkOutput(const QByteArray &output, QString *error, const QString &sysfsRoot)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(sanitizeLsblkBytes(output), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        if (error)
            *error = QStringLiteral("Die Ausgabe von lsblk konnte nicht gelesen werden (%1)")
                         .arg(parseError.errorString());
        return {};
    }
    QList<DriveInfo> drives;
    const QJsonArray devices = document.object().value(QLatin1String("blockdevices")).toArray();
    for (const QJsonValue &device : devices) {
        if (const std::optional<DriveInfo> drive = candidateDrive(device.toObject(), sysfsRoot))
            drives.append(*drive);
    }
    return drives;
}

bool isSdCard(const QString &name, const QString &sysfsRoot)
{
    // The name comes from lsblk's output and becomes part of a path: nothing but the kernel's form.
    static const QRegularExpression mmcDisk(QStringLiteral("^mmcblk[0-9]{1,6}$"));
    if (!mmcDisk.match(name).hasMatch())
        return false;
    QFile type(sysfsRoot + QLatin1String("/block/") + name + QLatin1String("/device/type"));
    return type.open(QIODevice::ReadOnly) && type.read(16).trimmed() == "SD";
}

void collectMountpoints(const QJsonObject &device, QStringList &mountpoints)
{
    const QJsonArray many = device.value(QLatin1String("mountpoints")).toArray();
    for (const QJsonValue &mountpoint : many) {
        if (mountpoint.isString() && !mountpoint.toString().isEmpty())
            mountpoints.append(mountpoint.toString());
    }
    const QString single = device.value(QLatin1String("mountpoint")).toString();
    if (!single.isEmpty())
        mountpoints.append(single);
    const QJsonArray children = device.value(QLatin1String("children")).toArray();
    for (const QJsonValue &child : children)
        collectMountpoints(child.toObject(), mountpoints);
}

bool isSystemMountpoint(const QString &mountpoint)
{
    if (mountpoint == QLatin1String("/") || mountpoint == QLatin1String("[SWAP]"))
        return true;
    static const char *const systemDirectories[] = {"/boot", "/efi", "/usr", "/var",  "/home",
                                                    "/etc",  "/opt", "/nix", "/root", "/srv"};
    for (const char *directory : systemDirectories) {
        const QString dir = QString::fromLatin1(directory);
        if (mountpoint == dir || mountpoint.startsWith(dir + QLatin1Char('/')))
            return true;
    }
    return false;
}

bool jsonFlag(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool();
    if (value.isString())
        return value.toString() == QLatin1String("1") || value.toString() == QLatin1String("true");
    return value.toInt() != 0;
}

QString cleanDeviceText(const QString &text)
{
    QString cleaned;
    cleaned.reserve(text.size());
    for (const QChar c : text) {
        if (c.isSpace())
            cleaned += QLatin1Char(' ');
        else if (c != QChar::ReplacementCharacter && c.isPrint())
            cleaned += c;
    }
    cleaned = cleaned.simplified();
    if (cleaned.size() > maxDeviceText)
        cleaned = cleaned.left(maxDeviceText).trimmed();
    return cleaned;
}
