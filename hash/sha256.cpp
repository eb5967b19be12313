#include "sha256.h"

#include <openssl/evp.h>

Sha256::Sha256() : context(EVP_MD_CTX_new())
{
    Q_CHECK_PTR(context);
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(context);
}

void Sha256::reset()
{
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
}

void Sha256::addData(const char *data, qint64 length)
{
    EVP_DigestUpdate(context, data, size_t(length));
}

QByteArray Sha256::result()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    return QByteArray(reinterpret_cast<const char *>(digest), int(length));
}
