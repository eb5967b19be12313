// SPDX-License-Identifier: GPL-3.0-or-later
#include "sha256.h"

#include <QCryptographicHash>
#include <QTest>

class TestSha256 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void matchesKnownDigests_data();
    void matchesKnownDigests();
    void matchesQtInPieces();
    void resetStartsOver();
    void endedDigestGivesNothing();
};

void TestSha256::matchesKnownDigests_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("empty") << QByteArray()
                           << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

void TestSha256::matchesKnownDigests()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, hex);
    Sha256 hash;
    hash.addData(input);
    QCOMPARE(hash.hexResult(), hex);
}

// Pieces of odd sizes across the block boundary must give the digest of the whole.
void TestSha256::matchesQtInPieces()
{
    QByteArray data(5 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 131) ^ (i >> 7));
    Sha256 hash;
    for (int offset = 0, piece = 1; offset < data.size(); offset += piece, piece = piece * 3 % 70001 + 1)
        hash.addData(data.constData() + offset, qMin<qint64>(piece, data.size() - offset));
    QCOMPARE(hash.result(), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
}

void TestSha256::resetStartsOver()
{
    Sha256 hash;
    hash.addData(QByteArray("garbage"));
    hash.reset();
    hash.addData(QByteArray("abc"));
    QCOMPARE(hash.hexResult(), QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

// Data added after result() belongs to no digest: the next result is empty, not a digest of something.
void TestSha256::endedDigestGivesNothing()
{
    Sha256 hash;
    hash.addData(QByteArray("abc"));
    QCOMPARE(hash.result().size(), 32);
    hash.addData(QByteArray("abc"));
    QCOMPARE(hash.result(), QByteArray());
    hash.reset();
    hash.addData(QByteArray("abc"));
    QCOMPARE(hash.hexResult(),
             QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
}

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
