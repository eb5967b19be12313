#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
# A FUSE file system with a single file, MOUNTDIR/disk.img, for putting a loop device on a disk
# that misbehaves like failing hardware. Run in the foreground with /usr/bin/python3 (needs
# python3-fusepy and /dev/fuse); end it with "umount MOUNTDIR".
#
#   faultydisk.py MOUNTDIR --backing FILE [--fail-after OFFSET] [--fail-reads-after OFFSET]
#                 [--unreadable START END] [--corrupt-after OFFSET] [--write-rate BYTES_PER_SECOND]
#                 [--faults-before OFFSET] [--wrap-after OFFSET | --drop-after OFFSET]
#
# The data lives in FILE (its size is the disk's size; make it sparse with truncate).
#   --fail-after        reads and writes that touch bytes at or beyond OFFSET fail with EIO
#   --fail-reads-after  only reads fail so (the card took the data but cannot give it back)
#   --unreadable        reads that touch bytes from START up to END fail with EIO (a bad spot)
#   --corrupt-after     reads return every byte at or beyond OFFSET inverted (a card that lies)
#   --faults-before     the three faults above reach only up to OFFSET (a bad patch, not the rest)
#   --write-rate        writes are held to about this many bytes per second (a slow card)
#   --wrap-after        a fake card holding only OFFSET bytes: every address beyond wraps around to
#                       address modulo OFFSET
#   --drop-after        a fake card holding only OFFSET bytes: writes beyond are dropped without
#                       an error, reads beyond return zeros
# Files are opened with direct_io, so every read and write of the loop device reaches this
# program instead of the kernel's cache of the file.
import argparse
import errno
import os
import sys
import threading
import time

try:
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:
    from fuse import FUSE, FuseOSError, Operations

NAME = "/disk.img"


class FaultyDisk(Operations):
    def __init__(self, options):
        self.options = options
        self.fd = os.open(options.backing, os.O_RDWR)
        self.size = os.fstat(self.fd).st_size
        self.write_lock = threading.Lock()
        self.next_write_time = time.monotonic()

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": 0o40755, "st_nlink": 2}
        if path == NAME:
            return {"st_mode": 0o100600, "st_nlink": 1, "st_size": self.size}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", NAME[1:]]

    def open(self, path, flags):
        if path != NAME:
            raise FuseOSError(errno.ENOENT)
        return 0

    def truncate(self, path, length, fh=None):
        raise FuseOSError(errno.EPERM)

    def reaches(self, limit, offset, length):
        end = self.options.faults_before
        return limit is not None and offset + length > limit and (end is None or offset < end)

    def pieces(self, offset, length):
        """The parts of a request as (address, length, stored): stored is False beyond a dropping
        card's real size; a wrapping card's addresses are taken modulo its real size."""
        real = self.options.wrap_after or self.options.drop_after
        if real is None:
            return [(offset, length, True)]
        parts = []
        while length > 0:
            part = min(length, real - offset % real)
            if self.options.wrap_after is not None:
                parts.append((offset % real, part, True))
            else:
                part = min(length, real - offset) if offset < real else length
                parts.append((offset, part, offset < real))
            offset += part
            length -= part
        return parts

    def is_unreadable(self, offset, length):
        bad = self.options.unreadable
        return bad is not None and offset < bad[1] and offset + length > bad[0]

    def read(self, path, length, offset, fh):
        options = self.options
        if (self.reaches(options.fail_after, offset, length) or self.reaches(options.fail_reads_after, offset, length)
                or self.is_unreadable(offset, length)):
            raise FuseOSError(errno.EIO)
        length = max(0, min(length, self.size - offset))
        data = b"".join(os.pread(self.fd, part, address) if stored else bytes(part)
                        for address, part, stored in self.pieces(offset, length))
        corrupt_after = self.options.corrupt_after
        if self.reaches(corrupt_after, offset, len(data)):
            start = max(0, corrupt_after - offset)
            end = len(data) if options.faults_before is None else max(start, options.faults_before - offset)
            data = data[:start] + bytes(b ^ 0xFF for b in data[start:end]) + data[end:]
        return data

    def throttle(self, length):
        with self.write_lock:
            now = time.monotonic()
            self.next_write_time = max(self.next_write_time, now) + length / self.options.write_rate
            delay = self.next_write_time - now
        if delay > 0:
            time.sleep(delay)

    def write(self, path, data, offset, fh):
        if self.reaches(self.options.fail_after, offset, len(data)):
            raise FuseOSError(errno.EIO)
        if offset + len(data) > self.size:
            raise FuseOSError(errno.ENOSPC)
        if self.options.write_rate:
            self.throttle(len(data))
        done = 0
        for address, part, stored in self.pieces(offset, len(data)):
            if stored:
                os.pwrite(self.fd, data[done:done + part], address)
            done += part
        return len(data)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        os.fsync(self.fd)
        return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mountdir")
    parser.add_argument("--backing", required=True)
    parser.add_argument("--fail-after", type=int)
    parser.add_argument("--fail-reads-after", type=int)
    parser.add_argument("--unreadable", type=int, nargs=2, metavar=("START", "END"))
    parser.add_argument("--corrupt-after", type=int)
    parser.add_argument("--faults-before", type=int)
    parser.add_argument("--write-rate", type=float)
    fake = parser.add_mutually_exclusive_group()
    fake.add_argument("--wrap-after", type=int)
    fake.add_argument("--drop-after", type=int)
    options = parser.parse_args()
    FUSE(FaultyDisk(options), options.mountdir, foreground=True, direct_io=True, big_writes=True,
         max_write=1048576)
    return 0


if __name__ == "__main__":
    sys.exit(main())
