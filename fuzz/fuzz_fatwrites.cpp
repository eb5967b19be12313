// SPDX-License-Identifier: GPL-3.0-or-later
// Sequences of writes into sound volumes (the committed mkfs.fat seeds): new files, replaced
// files, files in a directory, full root directories, growing directories and full volumes.
// After every step each file written so far must read back as last written, and a failed write
// must leave the earlier files alone. With TOBRA_FUZZ_FSCK set, fsck.fat must accept the
// volume at the end.
#include "fatfuzz.h"

#include <QDir>
#include <QMap>
#include <fuzzer/FuzzedDataProvider.h>

namespace {

QList<QByteArray> seedImages()
{
    QList<QByteArray> images;
    const QDir dir(QStringLiteral(TOBRA_FAT_SEEDS));
    for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile file(dir.filePath(name));
        require(file.open(QIODevice::ReadOnly), "the seed images can be read");
        images.append(file.readAll());
    }
    require(!images.isEmpty(), "there are seed images");
    return images;
}

QString fileName(FuzzedDataProvider &provider)
{
    static const QStringList names{QStringLiteral("KICK.ROM"),  QStringLiteral("kick.rom"),
                                   QStringLiteral("OLD.ROM"),   QStringLiteral("DEVS"),
                                   QStringLiteral("Mixed.rom"), QStringLiteral("A")};
    const int pick = provider.ConsumeIntegralInRange<int>(0, int(names.size()) + 99);
    return pick < names.size() ? names.at(pick) : QStringLiteral("F%1.BIN").arg(pick);
}

// Sizes from empty to more than the largest seed volume holds; the step number makes each
// content unique.
QByteArray fileData(FuzzedDataProvider &provider, int step)
{
    const int size = provider.ConsumeBool() ? provider.ConsumeIntegralInRange<int>(0, 5000)
                                            : provider.ConsumeIntegralInRange<int>(0, 4 << 20);
    QByteArray data(size, char('a' + step % 26));
    const QByteArray stamp = QByteArray::number(step) + '#';
    data.replace(0, qMin(data.size(), stamp.size()), stamp.left(data.size()));
    return data;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ImageFile imageFile;
    static const bool withFsck = qEnvironmentVariableIsSet("TOBRA_FUZZ_FSCK");
    static const QList<QByteArray> seeds = seedImages();

    FuzzedDataProvider provider(data, size);
    const QByteArray &seed = seeds.at(provider.ConsumeIntegralInRange<int>(0, int(seeds.size()) - 1));
    imageFile.reset(seed);
    FatImage image;
    require(image.open(imageFile.path()), "a seed image opens");
    const quint64 begin = image.geometry().partitionOffset;
    const quint64 end = image.geometry().volumeEnd;

    struct Written
    {
        QString dir;
        QString name;
        QByteArray contents;
    };
    QMap<QByteArray, Written> files; // by directory and short name
    for (int step = 0; step < 16 && provider.remaining_bytes() > 0; ++step) {
        Written file{provider.ConsumeBool() ? QStringLiteral("DEVS") : QString(), fileName(provider),
                     fileData(provider, step)};
        QByteArray shortName;
        if (image.writeFile(file.dir, file.name, file.contents) &&
            FatImage::toShortName(file.name, &shortName))
            files.insert(file.dir.toLatin1() + '/' + shortName, file);
        require(image.geometry().volumeEnd != 0, "a sound volume stays open after any write");
    }
    for (const Written &file : files) {
        QByteArray content;
        require(readBack(image, file.dir, file.name, &content) && content == file.contents,
                "every file reads back as last written");
    }
    image.close();
    if (withFsck && !files.isEmpty())
        require(fsckAccepts(imageFile.read(begin, end - begin)),
                "fsck.fat accepts the volume after the writes");
    return 0;
}
