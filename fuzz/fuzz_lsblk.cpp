// SPDX-License-Identifier: GPL-3.0-or-later
// lsblk output is read as root-adjacent input: device names, models and mount points come
// from whatever disks are plugged in. Repair and parse must survive any bytes.
#include "drives.h"
#include "fuzzcheck.h"

#include <QStringDecoder>

namespace {

// Valid UTF-8 whose control bytes are only tab, newline and return, or the second byte of an
// escape pair (copied as it stands so that an escaped backslash never starts another escape).
bool isCleanJsonText(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return false;
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        const uchar byte = uchar(bytes[at]);
        if (byte == '\\' && at + 1 < bytes.size() && uchar(bytes[at + 1]) < 0x80)
            ++at;
        else if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r')
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray raw = inputBytes(data, size);
    const QByteArray repaired = sanitizeLsblkBytes(raw);
    require(isCleanJsonText(repaired), "repaired output is UTF-8 without stray control bytes");
    require(sanitizeLsblkBytes(repaired) == repaired, "repairing twice changes nothing");

    QString error;
    const QList<DriveInfo> drives = parseLsblkOutput(raw, &error);
    require(error.isEmpty() || drives.isEmpty(), "a failed parse offers no drives");
    for (const DriveInfo &drive : drives) {
        require(!drive.path.isEmpty(), "every drive has a device path");
        require(drive.sizeBytes >= (qint64(1) << 20) && drive.sizeBytes <= (qint64(1) << 41),
                "every drive is between 1 MiB and 2 TiB");
        require(drive.label.endsWith(drive.path), "the label names the device path last");
    }
    return 0;
}
