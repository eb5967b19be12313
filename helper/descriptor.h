// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QtGlobal>
#include <unistd.h>

// Owns one file descriptor and closes it when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int ownedFd) : fd(ownedFd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Q_DISABLE_COPY(Descriptor)

    bool isOpen() const { return fd >= 0; }
    int get() const { return fd; }
    // Hands the descriptor over to the caller, who closes it.
    int release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }

private:
    int fd;
};
