#pragma once

#include <QtGlobal>
#include <unistd.h>

// Owns one file descriptor and closes it when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Q_DISABLE_COPY(Descriptor)

    bool isOpen() const { return fd >= 0; }
    int get() const { return fd; }

private:
    int fd;
};
