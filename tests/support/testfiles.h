// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// Small helpers for tests that write images: random contents, whole writes, reads of a range
// (also from a block device), checksums.

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>

// The seed of every test program's random data: TOBRA_TEST_SEED if set, else a fixed one. It is
// printed at first use, so a failing run can be replayed with the same data.
inline quint32 testSeed()
{
    static const quint32 seed = [] {
        bool given = false;
        const quint32 fromEnvironment = qEnvironmentVariableIntValue("TOBRA_TEST_SEED", &given);
        const quint32 chosen = given ? fromEnvironment : 20261210;
        qInfo("random test data from TOBRA_TEST_SEED=%u", chosen);
        return chosen;
    }();
    return seed;
}

inline QByteArray randomBytesFrom(QRandomGenerator &generator, qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (qint64 i = size / 4 * 4; i < size; ++i)
        data[i] = char(generator.generate());
    return data;
}

// size random bytes, new ones at every call; the same sequence in every run of the same tests.
inline QByteArray randomBytes(qint64 size)
{
    static QRandomGenerator generator(testSeed());
    return randomBytesFrom(generator, size);
}

// size random bytes of a stream of their own, the same at every call with the same stream.
inline QByteArray randomBytes(qint64 size, quint32 stream)
{
    QRandomGenerator generator(testSeed() + stream);
    return randomBytesFrom(generator, size);
}

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QByteArray readRange(const QString &path, qint64 offset, qint64 length)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !file.seek(offset))
        return {};
    return file.read(length);
}

// The SHA-256 of data as 64 lower-case hexadecimal digits.
inline QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}
