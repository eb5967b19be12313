// SPDX-License-Identifier: GPL-3.0-or-later
#include "fatfixture.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

namespace {

const QStringList tools = {"mkfs.fat", "fsck.fat", "sfdisk", "mcopy", "mmd", "mdel", "mdir", "dd"};

QString findTool(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin"}) : found;
}

} // namespace

QString FatFixture::missingTool()
{
    for (const QString &tool : tools) {
        if (findTool(tool).isEmpty())
            return tool;
    }
    return QString();
}

void FatFixture::addVolumeRows()
{
    QTest::addColumn<VolumeSpec>("spec");
    QTest::newRow("fat32-bare-512-c1") << VolumeSpec{32, 512, 1, 40 * 1024, 0, 0};
    QTest::newRow("fat32-mbr2048-512-c8") << VolumeSpec{32, 512, 8, 300 * 1024, 2048, 0};
    QTest::newRow("fat32-mbr8192-4096-c1") << VolumeSpec{32, 4096, 1, 300 * 1024, 8192, 0};
    QTest::newRow("fat16-bare-512-c4") << VolumeSpec{16, 512, 4, 40 * 1024, 0, 0};
    QTest::newRow("fat16-mbr2048-4096-c1") << VolumeSpec{16, 4096, 1, 36 * 1024, 2048, 0};
    QTest::newRow("fat16-mbr8192-512-c64") << VolumeSpec{16, 512, 64, 256 * 1024, 8192, 0};
}

bool FatFixture::run(const QString &program, const QStringList &arguments, QByteArray *output,
                     const QByteArray &input)
{
    QProcess process;
    process.start(findTool(program), arguments);
    if (!process.waitForStarted()) {
        lastError = program + QStringLiteral(": ") + process.errorString();
        return false;
    }
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(120000);
    const QByteArray out = process.readAllStandardOutput();
    if (output)
        *output = out;
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        lastError = QStringLiteral("%1 %2 failed: %3 %4")
                        .arg(program, arguments.join(' '), QString::fromLocal8Bit(out),
                             QString::fromLocal8Bit(process.readAllStandardError()));
        return false;
    }
    return true;
}

bool FatFixture::create(const VolumeSpec &spec)
{
    if (!dir.isValid()) {
        lastError = QStringLiteral("no temporary folder");
        return false;
    }
    imagePath = dir.filePath(QStringLiteral("disk.img"));
    volumeOffset = quint64(spec.partitionLba) * 512;
    volumeBytes = quint64(spec.sizeKiB) * 1024;
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(volumeOffset + volumeBytes))) {
        lastError = file.errorString();
        return false;
    }
    file.close();
    if (spec.partitionLba != 0) {
        // A Linux partition first, so the FAT partition is not simply the first entry.
        const QByteArray table = QStringLiteral("label: dos\nstart=%1, size=%2, type=83\nstart=%3, size=%4, "
                                                "type=c\n")
                                     .arg(spec.partitionLba / 2)
                                     .arg(spec.partitionLba / 2)
                                     .arg(spec.partitionLba)
                                     .arg(volumeBytes / 512)
                                     .toLatin1();
        if (!run("sfdisk", {"-q", imagePath}, nullptr, table))
            return false;
    }
    QStringList mkfs = {
        "-F",         QString::number(spec.fatBits),           "-S", QString::number(spec.sectorSize),
        "-s",         QString::number(spec.sectorsPerCluster), "-i", "1a2b3c4d",
        "--invariant"};
    if (spec.rootEntries != 0)
        mkfs << "-r" << QString::number(spec.rootEntries);
    if (spec.partitionLba != 0)
        mkfs << QStringLiteral("--offset=%1").arg(volumeOffset / quint64(spec.sectorSize));
    mkfs << imagePath << QString::number(spec.sizeKiB);
    return run("mkfs.fat", mkfs) && (!spec.makeRom || mmd("::Rom"));
}

QString FatFixture::mtoolsImage() const
{
    return QStringLiteral("%1@@%2").arg(imagePath).arg(volumeOffset);
}

bool FatFixture::mmd(const QString &path)
{
    return run("mmd", {"-i", mtoolsImage(), path});
}

bool FatFixture::mcopyIn(const QByteArray &data, const QString &target)
{
    const QString source = dir.filePath(QStringLiteral("mcopy.in"));
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
        lastError = file.errorString();
        return false;
    }
    file.close();
    return run("mcopy", {"-o", "-i", mtoolsImage(), source, target});
}

QByteArray FatFixture::mcopyOut(const QString &source)
{
    QByteArray data;
    if (!run("mcopy", {"-n", "-i", mtoolsImage(), source, "-"}, &data))
        return QByteArray("<mcopy failed>");
    return data;
}

bool FatFixture::mdel(const QString &path)
{
    return run("mdel", {"-i", mtoolsImage(), path});
}

QStringList FatFixture::list(const QString &directory)
{
    QByteArray output;
    if (!run("mdir", {"-b", "-i", mtoolsImage(), directory}, &output))
        return {QStringLiteral("<mdir failed>")};
    QStringList names;
    for (const QByteArray &line : output.split('\n')) {
        const QString name = QString::fromLocal8Bit(line.mid(line.lastIndexOf('/') + 1));
        if (!name.isEmpty() && name != "." && name != "..")
            names << name;
    }
    return names;
}

bool FatFixture::fsckClean()
{
    const QString copy = dir.filePath(QStringLiteral("volume.img"));
    QFile::remove(copy);
    if (!run("dd", {"if=" + imagePath, "of=" + copy, "iflag=skip_bytes,count_bytes", "conv=sparse", "bs=1M",
                    QStringLiteral("skip=%1").arg(volumeOffset), QStringLiteral("count=%1").arg(volumeBytes),
                    "status=none"}))
        return false;
    QByteArray report;
    const bool clean = run("fsck.fat", {"-n", copy}, &report);
    QFile::remove(copy);
    // Clean means exit code 0 and nothing said beyond the version and the summary line.
    if (clean && report.trimmed().count('\n') == 1)
        return true;
    lastError = QStringLiteral("fsck.fat: ") + QString::fromLocal8Bit(report) + lastError;
    return false;
}

QByteArray FatFixture::read(quint64 offset, qint64 length) const
{
    QFile file(imagePath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(qint64(offset)))
        return QByteArray();
    return file.read(length);
}

bool FatFixture::write(quint64 offset, const QByteArray &bytes)
{
    QFile file(imagePath);
    return file.open(QIODevice::ReadWrite) && file.seek(qint64(offset)) && file.write(bytes) == bytes.size();
}

QByteArray FatFixture::sha256() const
{
    QFile file(imagePath);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QByteArray();
    return hash.result();
}

namespace {
const QDateTime backdated(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
}

bool FatFixture::backdate()
{
    QFile file(imagePath);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(backdated, QFileDevice::FileModificationTime);
}

bool FatFixture::writtenSinceBackdate() const
{
    return QFileInfo(imagePath).lastModified().toUTC() != backdated;
}
