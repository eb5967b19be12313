// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QtGlobal>

struct evp_md_ctx_st;

// Incremental SHA-256. libcrypto uses the CPU's SHA instructions, which keeps
// hashing well ahead of any card reader.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Q_DISABLE_COPY(Sha256)

    // Starts a new digest, discarding whatever was added so far.
    void reset();
    void addData(const char *data, qint64 length);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }
    // The 32-byte digest of everything added since the last reset; ends the digest. Empty when
    // libcrypto failed at any step or the digest was already ended: never a digest of some data.
    QByteArray result();
    // The digest as 64 lower-case hexadecimal digits, or empty as result() is; ends the digest.
    QByteArray hexResult() { return result().toHex(); }

private:
    evp_md_ctx_st *context;
    bool intact = false; // every libcrypto call since reset() succeeded and the digest is not ended
};
