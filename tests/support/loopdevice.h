// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Test fixture: a file attached to a free loop device for the lifetime of the object.
//
//   LoopDevice::Options options;
//   options.addPartitions = true;            // also readOnly, sizeLimit
//   LoopDevice loop(file, options);
//   if (!loop.isAttached()) QSKIP(qPrintable(loop.error()));
//   loop.path() -> "/dev/loopN", loop.partition(1) -> "/dev/loopNp1"
//
// reattach(otherFile) swaps the file behind the same device name.
// Only the device attached here is ever touched: partition nodes added with "partx -a" are
// removed again and the device is detached in the destructor. The device also carries the
// kernel's autoclear flag while this object holds it open, so even a crashed test leaves no
// device behind. Attaching copes with other processes grabbing the same free device (retries).
// Needs root and /dev/loop-control; error() says what was missing.

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QThread>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

// The system's own copy of a tool, so that cleanup still works while a test puts stand-ins on PATH.
inline QString systemTool(const QString &name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/bin", "/sbin", "/bin"});
}

// Runs a program (no shell) and returns true if it exited with code 0. Its standard output and
// error end up in *output if given.
inline bool runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr,
                    int timeoutMs = 60000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    if (output)
        *output = process.readAll();
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

struct LoopDeviceOptions
{
    bool readOnly = false;
    qint64 sizeLimit = 0; // 0: the whole file
    bool addPartitions = false;
};

class LoopDevice
{
public:
    using Options = LoopDeviceOptions;

    explicit LoopDevice(const QString &file, const Options &loopOptions = Options()) : options(loopOptions)
    {
        attach(file);
    }
    ~LoopDevice() { detach(); }
    Q_DISABLE_COPY(LoopDevice)

    bool isAttached() const { return deviceFd >= 0; }

    // Puts another file behind the same device, as a card swapped in the same reader: the name
    // stays, the kernel's disk sequence number changes. False (and detached) if another process
    // took the device in between.
    bool reattach(const QString &file)
    {
        if (!isAttached() || options.addPartitions || ::ioctl(deviceFd, LOOP_CLR_FD, 0) != 0)
            return false;
        const int number = devicePath.mid(int(qstrlen("/dev/loop"))).toInt();
        const int fileFd = ::open(QFile::encodeName(file).constData(), O_RDWR | O_CLOEXEC);
        ::close(deviceFd);
        deviceFd = -1;
        const bool attached = fileFd >= 0 && configure(number, fileFd, file);
        if (fileFd >= 0)
            ::close(fileFd);
        return attached;
    }
    QString path() const { return devicePath; }
    QString partition(int number) const { return devicePath + 'p' + QString::number(number); }
    QString error() const { return failure; }

private:
    void attach(const QString &file)
    {
        if (::geteuid() != 0) {
            failure = "loop devices need root";
            return;
        }
        const int fileFd =
            ::open(QFile::encodeName(file).constData(), (options.readOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC);
        const int controlFd = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
        if (fileFd < 0 || controlFd < 0)
            failure = fileFd < 0 ? "cannot open " + file : QString("no /dev/loop-control");
        else
            attachToFreeDevice(controlFd, fileFd, file);
        if (fileFd >= 0)
            ::close(fileFd);
        if (controlFd >= 0)
            ::close(controlFd);
        if (isAttached() && options.addPartitions && !addPartitions()) {
            failure = "partx -a failed on " + devicePath;
            detach();
        }
    }

    // Partitions a crashed earlier user left on the device would make "partx -a" fail.
    bool addPartitions()
    {
        runTool(systemTool("partx"), {"-d", devicePath});
        return runTool(systemTool("partx"), {"-a", devicePath});
    }

    // Another test may take the free device between our query and our claim: then try again.
    void attachToFreeDevice(int controlFd, int fileFd, const QString &file)
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 60000) {
            const int number = ::ioctl(controlFd, LOOP_CTL_GET_FREE);
            if (number >= 0 && configure(number, fileFd, file))
                return;
            QThread::msleep(200);
        }
        failure = "no free loop device within 60 s";
    }

    bool configure(int number, int fileFd, const QString &file)
    {
        const QString candidate = "/dev/loop" + QString::number(number);
        const int fd = ::open(QFile::encodeName(candidate).constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        loop_config config = {};
        config.fd = fileFd;
        config.info.lo_sizelimit = quint64(options.sizeLimit);
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR | (options.readOnly ? LO_FLAGS_READ_ONLY : 0);
        qstrncpy(reinterpret_cast<char *>(config.info.lo_file_name), QFile::encodeName(file).constData(),
                 LO_NAME_SIZE);
        if (::ioctl(fd, LOOP_CONFIGURE, &config) != 0) {
            ::close(fd);
            return false;
        }
        deviceFd = fd;
        devicePath = candidate;
        return true;
    }

    void detach()
    {
        if (!isAttached())
            return;
        if (options.addPartitions)
            runTool(systemTool("partx"), {"-d", devicePath});
        // Clearing is refused while something still holds the device; autoclear then detaches it
        // as soon as the last holder lets go.
        ::ioctl(deviceFd, LOOP_CLR_FD, 0);
        ::close(deviceFd);
        deviceFd = -1;
    }

    Options options;
    int deviceFd = -1;
    QString devicePath;
    QString failure;
};
