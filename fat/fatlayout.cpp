// SPDX-License-Identifier: GPL-3.0-or-later
#include "fatlayout.h"

#include <QtEndian>

namespace FatLayout {

quint8 u8(const QByteArray &bytes, int offset)
{
    return quint8(bytes.at(offset));
}

quint16 u16(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint16>(bytes.constData() + offset);
}

quint32 u32(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<quint32>(bytes.constData() + offset);
}

void putU16(QByteArray &bytes, int offset, quint16 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

void putU32(QByteArray &bytes, int offset, quint32 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

quint32 firstCluster(const QByteArray &entry)
{
    return quint32(u16(entry, Dir::firstClusterHigh)) << 16 | u16(entry, Dir::firstClusterLow);
}

} // namespace FatLayout
