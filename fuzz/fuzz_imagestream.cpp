// SPDX-License-Identifier: GPL-3.0-or-later
// The image frames reach the root helper from an unprivileged sender, in pieces of any size. The
// reader must hold every bound whatever comes: no payload beyond its limit, nothing past the
// card's end or the announced size, and nothing read after the image has ended.
#include "fuzzcheck.h"
#include "imagestream.h"

#include <algorithm>
#include <cstring>
#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const qint64 limit = provider.ConsumeIntegralInRange<qint64>(-1, 4 << 20);
    const qint64 announced = provider.ConsumeIntegralInRange<qint64>(-1, 4 << 20);
    const size_t pieceSize = provider.ConsumeIntegralInRange<size_t>(1, 70000);
    const std::vector<uint8_t> stream = provider.ConsumeRemainingBytes<uint8_t>();
    size_t offset = 0;
    bool endSeen = false;
    ImageStreamReader reader(
        [&](char *buffer, qint64 length) {
            require(!endSeen, "nothing is read after the input has ended");
            const size_t count = std::min({size_t(length), pieceSize, stream.size() - offset});
            if (count > 0)
                std::memcpy(buffer, stream.data() + offset, count);
            offset += count;
            endSeen = count == 0;
            return qint64(count);
        },
        limit, announced);

    qint64 total = 0;
    for (;;) {
        QByteArrayView payload;
        QString error;
        const ImageStreamReader::Result result = reader.next(&payload, &error);
        if (result != ImageStreamReader::Data) {
            require((result == ImageStreamReader::Failed) != error.isEmpty(),
                    "a failure, and only one, has a text");
            require(result != ImageStreamReader::GoAhead ||
                        (total > 0 && (announced < 0 || total == announced)),
                    "a go-ahead comes only for a whole image of the announced size");
            const size_t consumed = offset;
            require(reader.next(&payload) == ImageStreamReader::Failed && offset == consumed,
                    "after the end nothing more is read");
            break;
        }
        require(payload.size() >= 1 && payload.size() <= ImageStream::maxDataFrame,
                "a payload is within bounds");
        total += payload.size();
        require(total == reader.received(), "received counts the payloads");
        require((limit < 0 || total <= limit) && (announced < 0 || total <= announced),
                "nothing beyond the card's end or the announced size");
    }
    return 0;
}
