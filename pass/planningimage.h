// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QList>

class HeldBytes;

// A change the FAT writer made: bytes at an offset of the image.
struct ImagePatch
{
    qint64 offset = 0;
    QByteArray bytes;
};

// The image as far as it has arrived, as a device the FAT writer can open: its first sector and
// the bytes held back read as they are, every other byte is missing; writes are only recorded, so
// that a plan that needed missing bytes leaves nothing behind.
class PlanningImage : public QIODevice
{
public:
    // size: the image's length, or a bound for it while unknown.
    PlanningImage(const QByteArray &sectorZero, HeldBytes &heldBytes, qint64 size);

    // The writes made, in order.
    const QList<ImagePatch> &patches() const { return writes; }
    // Whether a read wanted bytes that have not arrived, and the end of the first such read: the
    // plan can be tried again once the image has arrived that far.
    bool missedBytes() const { return missingEnd >= 0; }
    qint64 arrivalNeeded() const { return missingEnd; }

    bool isSequential() const override { return false; }
    qint64 size() const override { return length; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    void readArrived(qint64 offset, char *data, qint64 size, QByteArray *known);

    const QByteArray firstSector;
    HeldBytes &held;
    const qint64 length;
    QList<ImagePatch> writes;
    qint64 missingEnd = -1;
};
