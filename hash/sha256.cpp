// SPDX-License-Identifier: GPL-3.0-or-later
#include "sha256.h"

#include <openssl/evp.h>

Sha256::Sha256() : context(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(context);
}

void Sha256::reset()
{
    intact = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
}

void Sha256::addData(const char *data, qint64 length)
{
    intact = intact && EVP_DigestUpdate(context, data, size_t(length)) == 1;
}

QByteArray Sha256::result()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool done = intact && EVP_DigestFinal_ex(context, digest, &length) == 1;
    intact = false; // ended: nothing more until reset()
    return done ? QByteArray(reinterpret_cast<const char *>(digest), int(length)) : QByteArray();
}
