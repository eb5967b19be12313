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
    // The 32-byte digest of everything added since the last reset; ends the digest.
    QByteArray result();
    // The digest as 64 lower-case hexadecimal digits; ends the digest.
    QByteArray hexResult() { return result().toHex(); }

private:
    evp_md_ctx_st *context;
};
