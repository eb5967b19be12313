// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The folders in which the installer keeps its cache and working copies, and opening them so
// that nobody but their owner can put anything in their place.

// The installer's own cache folder. For a user the desktop's cache location (XDG_CACHE_HOME or
// ~/.cache). As root the environment may be a user's (sudo -E keeps HOME and XDG_CACHE_HOME): then
// below root's home from the password database, unless XDG_CACHE_HOME names a place that only root
// can change.
QString cacheLocation();

enum class FolderUse
{
    Create,  // what is missing is made, mode 0700
    Existing // a missing folder is no error: -1 with nothing in *error
};

// Opens the folder as a directory descriptor and makes it 0700 through that descriptor. As root
// every step from "/" is opened without following a link and checked on its descriptor: it must
// belong to root and be closed to others (a sticky folder such as /tmp may be open). Returns the
// descriptor, or -1 with a German text in *error.
int openPrivateFolder(const QString &path, FolderUse use, QString *error = nullptr);

// openPrivateFolder for a caller that goes on by the folder's path, which only its owner (as root:
// only root) can change once it has passed: true then.
bool checkPrivateFolder(const QString &path, FolderUse use, QString *error = nullptr);

// Removes what in the folder is neither a regular file nor a folder (links, pipes, sockets, device
// nodes), as the entries themselves, relative to the descriptor.
void removeOddEntries(int folderFd);
