// SPDX-License-Identifier: GPL-3.0-or-later
#include "fail.h"
#include "writehelper.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Non-blocking, so that a FIFO cannot hold the open; no controlling terminal from a device.
constexpr int imageOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

struct UserIdentity
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

QString unreadable(const QString &reason)
{
    return QStringLiteral("Image kann nicht gelesen werden: %1").arg(reason);
}

int refuse(QString *error, const QString &reason)
{
    fail(error, unreadable(reason));
    return -1;
}

QString errorNumberText(int errorNumber)
{
    return QString::fromLocal8Bit(std::strerror(errorNumber));
}

// The user pkexec ran us for. PKEXEC_UID comes from pkexec itself, which clears the rest of the
// environment; it is still parsed strictly, and a user the system does not know is refused.
bool callerIdentity(const QByteArray &uidText, UserIdentity *identity, QString *error)
{
    const bool plainDigits =
        !uidText.isEmpty() && uidText.size() <= 10 &&
        std::all_of(uidText.cbegin(), uidText.cend(), [](char c) { return c >= '0' && c <= '9'; });
    const qulonglong uid = plainDigits ? uidText.toULongLong() : qulonglong(uid_t(-1));
    const passwd *user = uid < qulonglong(uid_t(-1)) ? ::getpwuid(uid_t(uid)) : nullptr;
    if (!user)
        return fail(error, unreadable(QStringLiteral("Der aufrufende Benutzer ist unbekannt")));
    identity->uid = user->pw_uid;
    identity->gid = user->pw_gid;
    int count = 32;
    for (;;) {
        identity->groups.resize(size_t(count));
        const int previous = count;
        if (::getgrouplist(user->pw_name, user->pw_gid, identity->groups.data(), &count) >= 0)
            break;
        if (count <= previous) // the list did not grow: the group database failed
            return fail(error,
                        unreadable(QStringLiteral("Die Gruppen des aufrufenden Benutzers sind unbekannt")));
    }
    identity->groups.resize(size_t(count));
    return true;
}

// Sends the descriptor (or, if fd < 0, only the error number) over the socket.
void sendDescriptor(int socket, int fd, int errorNumber)
{
    char control[CMSG_SPACE(sizeof(int))] = {};
    iovec data{&errorNumber, sizeof errorNumber};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (fd >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    }
    ::sendmsg(socket, &message, MSG_NOSIGNAL);
}

// Receives what sendDescriptor sent: the descriptor, or -1 with *errorNumber set.
int receiveDescriptor(int socket, int *errorNumber)
{
    char control[CMSG_SPACE(sizeof(int))] = {};
    int sentError = EIO;
    iovec data{&sentError, sizeof sentError};
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t received;
    do {
        received = ::recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (received < 0 && errno == EINTR);
    const cmsghdr *header = received == ssize_t(sizeof sentError) ? CMSG_FIRSTHDR(&message) : nullptr;
    if (header && header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
        header->cmsg_len == CMSG_LEN(sizeof(int))) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        return fd;
    }
    *errorNumber = received == ssize_t(sizeof sentError) && sentError != 0 ? sentError : EIO;
    return -1;
}

// Opens the path in a short-lived child that has become the user for good, so the kernel applies
// exactly that user's rights (groups, ACLs, path search); the descriptor comes back over a socket.
int openAsUser(const QByteArray &path, const UserIdentity &user, int *errorNumber)
{
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        *errorNumber = errno;
        return -1;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(sockets[0]);
        const bool dropped = ::setgroups(user.groups.size(), user.groups.data()) == 0 &&
                             ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0 &&
                             (user.uid == 0 || ::setuid(0) != 0);
        const int fd = dropped ? ::open(path.constData(), imageOpenFlags) : -1;
        sendDescriptor(sockets[1], fd, dropped ? errno : EPERM);
        ::_exit(0);
    }
    ::close(sockets[1]);
    int fd = -1;
    if (child < 0)
        *errorNumber = errno;
    else
        fd = receiveDescriptor(sockets[0], errorNumber);
    ::close(sockets[0]);
    if (child > 0)
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    return fd;
}

// What the descriptor is when it is not a regular file, for the refusal text.
QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("ein Ordner");
    if (S_ISBLK(mode) || S_ISCHR(mode))
        return QStringLiteral("ein Gerät");
    if (S_ISFIFO(mode))
        return QStringLiteral("eine Pipe (FIFO)");
    return QStringLiteral("ein Socket");
}

// The kernel's own file systems, whose files may answer each reader differently (by its rights,
// by who opened them): what the user opened there is not what root would read from it.
const char *pseudoFileSystem(int fd)
{
    struct statfs fileSystem;
    if (::fstatfs(fd, &fileSystem) != 0)
        return nullptr;
    static const struct
    {
        unsigned long magic;
        const char *name;
    } known[] = {{PROC_SUPER_MAGIC, "proc"},     {SYSFS_MAGIC, "sysfs"},
                 {DEBUGFS_MAGIC, "debugfs"},     {SECURITYFS_MAGIC, "securityfs"},
                 {0x62656570, "configfs"},       {TRACEFS_MAGIC, "tracefs"},
                 {CGROUP_SUPER_MAGIC, "cgroup"}, {CGROUP2_SUPER_MAGIC, "cgroup2"},
                 {BPF_FS_MAGIC, "bpf"},          {EFIVARFS_MAGIC, "efivarfs"},
                 {PSTOREFS_MAGIC, "pstore"},     {SELINUX_MAGIC, "selinuxfs"},
                 {SMACK_MAGIC, "smackfs"},       {BINFMTFS_MAGIC, "binfmt_misc"},
                 {0x65735543, "fusectl"},        {USBDEVICE_SUPER_MAGIC, "usbfs"},
                 {NSFS_MAGIC, "nsfs"},           {ANON_INODE_FS_MAGIC, "anon_inodefs"}};
    for (const auto &fileSystemType : known)
        if ((unsigned long)(fileSystem.f_type) == fileSystemType.magic)
            return fileSystemType.name;
    return nullptr;
}

} // namespace

int openImageFile(const QString &imagePath, QString *error)
{
    const QByteArray path = QFile::encodeName(imagePath);
    const QByteArray caller = qgetenv("PKEXEC_UID");
    int fd = -1;
    int errorNumber = 0;
    if (caller.isNull()) {
        fd = ::open(path.constData(), imageOpenFlags);
        errorNumber = errno;
    } else {
        UserIdentity user;
        if (!callerIdentity(caller, &user, error))
            return -1;
        fd = openAsUser(path, user, &errorNumber);
    }
    if (fd < 0)
        return refuse(error, errorNumberText(errorNumber));
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        errorNumber = errno;
        ::close(fd);
        return refuse(error, errorNumberText(errorNumber));
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(fd);
        return refuse(error, QStringLiteral("%1 ist keine gewöhnliche Datei, sondern %2")
                                 .arg(imagePath, kindOf(status.st_mode)));
    }
    if (const char *fileSystem = pseudoFileSystem(fd)) {
        ::close(fd);
        return refuse(
            error,
            QStringLiteral("%1 ist keine gewöhnliche Datei, sondern eine Schnittstelle des Kernels (%2)")
                .arg(imagePath, QLatin1String(fileSystem)));
    }
    return fd;
}
