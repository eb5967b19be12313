// SPDX-License-Identifier: GPL-3.0-or-later
// The version list comes from a web server: any bytes must give either a fully checked list
// or a German message, never a half-filled list.
#include "fuzzcheck.h"
#include "versionlist.h"

#include <QRegularExpression>

namespace {

bool isTrimmed(const QString &text)
{
    return text == text.trimmed();
}

void checkEntry(const VersionEntry &entry)
{
    static const QRegularExpression checksum(QStringLiteral("\\A[0-9a-f]{64}\\z"));
    require(!entry.title.isEmpty() && isTrimmed(entry.title), "title present and trimmed");
    require(isValidImageName(entry.image), "image name valid");
    require(isTrimmed(entry.kickstart), "kickstart trimmed");
    require(entry.sha256.isEmpty() || checksum.match(entry.sha256).hasMatch(),
            "checksum empty or 64 lower-case hex digits");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = inputBytes(data, size);
    VersionList list;
    list.schema = -1; // marks "untouched"
    QString error;
    const bool ok = parseVersionList(bytes, &list, &error);
    require(parseVersionList(bytes) == ok, "the result does not depend on the out-parameters");
    if (!ok) {
        require(!error.isEmpty(), "a failure names its fault");
        require(list.schema == -1 && list.versions.isEmpty(), "a failure leaves the list untouched");
        return 0;
    }
    require(error.isEmpty(), "success leaves the error untouched");
    require(list.schema == 1 && !list.versions.isEmpty(), "a success holds schema 1 and versions");
    for (const VersionEntry &entry : list.versions)
        checkEntry(entry);
    return 0;
}
