// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "bytesource.h"
#include "sha256.h"

#include <QString>
#include <atomic>

// The first stage behind a source: hashes the bytes as sent (the list's checksum is theirs), counts
// them for the progress, and measures how long the pass waited for them.
class SourceTap : public ByteSource
{
public:
    explicit SourceTap(ByteSource &input) : source(input) {}
    Q_DISABLE_COPY(SourceTap)

    // The SHA-256 of every byte taken, as 64 lower-case hex digits; once the input has ended.
    QString sha256Hex() { return QString::fromLatin1(hash.hexResult()); }
    qint64 bytesTaken() const { return taken; }
    qint64 waitedMs() const { return waited; }

    bool next(QByteArrayView *piece) override;
    void stop() override { source.stop(); }
    bool stopRequested() const override { return source.stopRequested(); }

private:
    ByteSource &source;
    Sha256 hash;
    std::atomic<qint64> taken{0};
    std::atomic<qint64> waited{0};
};
