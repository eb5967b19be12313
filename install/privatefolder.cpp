// SPDX-License-Identifier: GPL-3.0-or-later
#include "privatefolder.h"

#include "fail.h"

#include <QDir>
#include <QFile>
#include <QList>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

bool ownedByRoot(int fd, struct stat *status)
{
    return ::fstat(fd, status) == 0 && S_ISDIR(status->st_mode) && status->st_uid == 0;
}

// A folder that only root can change: root's, and closed to others. In a sticky folder (/tmp)
// others may add entries but neither remove nor rename root's.
bool onlyRootCanChange(int fd)
{
    struct stat status;
    return ownedByRoot(fd, &status) &&
           ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (status.st_mode & S_ISVTX) != 0);
}

QString unsafe(const QString &path, const QString &reason)
{
    return QStringLiteral("Der Ordner %1 kann nicht sicher benutzt werden: %2").arg(path, reason);
}

// The next folder of a walk, made when it is missing and wanted; as root a link is not followed.
int openStep(int parent, const QByteArray &name, bool strict, FolderUse use)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (strict ? O_NOFOLLOW : 0);
    int fd = ::openat(parent, name.constData(), flags);
    if (fd < 0 && errno == ENOENT && use == FolderUse::Create &&
        (::mkdirat(parent, name.constData(), 0700) == 0 || errno == EEXIST))
        fd = ::openat(parent, name.constData(), flags);
    return fd;
}

QString stepFailure(const QString &path, int errorNumber)
{
    if (errorNumber == ELOOP || errorNumber == ENOTDIR)
        return unsafe(path, QStringLiteral("Dort steht eine Verknüpfung oder kein Ordner."));
    return unsafe(path, QString::fromLocal8Bit(std::strerror(errorNumber)));
}

// Walks from "/" to the folder one step at a time, each step relative to the descriptor of the
// one before. As root every folder on the way must be one only root can change. A missing folder
// under FolderUse::Existing ends the walk with -1, *missing set and no error.
int walkTo(const QString &path, FolderUse use, bool *missing, QString *error)
{
    const bool strict = runningAsRoot();
    const QString clean = QDir::cleanPath(path);
    int fd = clean.startsWith(QLatin1Char('/')) ? ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    if (fd < 0) {
        fail(error, unsafe(path, QStringLiteral("Der Pfad ist nicht absolut.")));
        return -1;
    }
    QString walked = QStringLiteral("/");
    for (const QString &name : clean.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (strict && !onlyRootCanChange(fd)) {
            ::close(fd);
            fail(error,
                 unsafe(walked, QStringLiteral("Er gehört nicht root oder andere dürfen darin schreiben.")));
            return -1;
        }
        walked = QDir::cleanPath(walked + QLatin1Char('/') + name);
        const int next = openStep(fd, QFile::encodeName(name), strict, use);
        const int errorNumber = errno;
        ::close(fd);
        if (next < 0) {
            *missing = errorNumber == ENOENT;
            if (!*missing || use == FolderUse::Create)
                fail(error, stepFailure(walked, errorNumber));
            return -1;
        }
        fd = next;
    }
    struct stat status;
    if (strict && !ownedByRoot(fd, &status)) {
        ::close(fd);
        fail(error, unsafe(clean, QStringLiteral("Er gehört nicht root.")));
        return -1;
    }
    return fd;
}

// Whether the folder, or as much of it as exists, is one only root can change.
bool onlyRootCanChange(const QString &path)
{
    bool missing = false;
    const int fd = walkTo(path, FolderUse::Existing, &missing, nullptr);
    if (fd >= 0)
        ::close(fd);
    return fd >= 0 || missing;
}

QString rootCacheBase()
{
    const QString chosen = qEnvironmentVariable("XDG_CACHE_HOME");
    if (QDir::isAbsolutePath(chosen) && onlyRootCanChange(chosen))
        return QDir::cleanPath(chosen);
    const passwd *root = ::getpwuid(0);
    const QString home = root && root->pw_dir && root->pw_dir[0] == '/' ? QFile::decodeName(root->pw_dir)
                                                                        : QStringLiteral("/root");
    return QDir::cleanPath(home + QStringLiteral("/.cache"));
}

} // namespace

QString cacheLocation()
{
    const QString own = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (!runningAsRoot())
        return own;
    // The installer's part below the cache, as it is for every user.
    const QString generic = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return rootCacheBase() + QLatin1Char('/') + QDir(generic).relativeFilePath(own);
}

int openPrivateFolder(const QString &path, FolderUse use, QString *error)
{
    bool missing = false;
    const int fd = walkTo(path, use, &missing, error);
    if (fd < 0)
        return -1;
    struct stat status;
    if (::fstat(fd, &status) == 0 && (status.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0 &&
        runningAsRoot()) {
        const int errorNumber = errno;
        ::close(fd);
        fail(error, unsafe(path, QString::fromLocal8Bit(std::strerror(errorNumber))));
        return -1;
    }
    return fd;
}

bool checkPrivateFolder(const QString &path, FolderUse use, QString *error)
{
    const int fd = openPrivateFolder(path, use, error);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

void removeOddEntries(int folderFd)
{
    // The listing gets a descriptor of its own, which closedir closes.
    const int listing = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *folder = listing < 0 ? nullptr : ::fdopendir(listing);
    if (!folder) {
        if (listing >= 0)
            ::close(listing);
        return;
    }
    QList<QByteArray> odd;
    while (const dirent *entry = ::readdir(folder)) {
        struct stat status;
        if (::fstatat(folderFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
            odd.append(QByteArray(entry->d_name));
    }
    ::closedir(folder);
    for (const QByteArray &name : std::as_const(odd))
        ::unlinkat(folderFd, name.constData(), 0);
}
