// SPDX-License-Identifier: GPL-3.0-or-later
#include "cardfanout.h"

#include "cardwrite.h"
#include "descriptor.h"
#include "fail.h"
#include "imagestream.h"
#include "piecequeue.h"
#include "streamwriter.h"

#include <linux/fs.h>
#include <memory>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Up to this much of the image waits for a card; the pieces are shared, so the slowest card's
// queue bounds the whole.
constexpr qint64 queueBytes = 8 * 1024 * 1024;

// One card from the moment it is held: its descriptor, its queue and its writer thread.
struct HeldCard
{
    HeldCard(int cardIndex, const QString &path, int fd) : index(cardIndex), devicePath(path), target(fd) {}

    int index;
    QString devicePath;
    Descriptor target;
    bool blockDevice = false;
    qint64 byteLimit = -1; // the card's size; -1 for a file
    PieceQueue queue{queueBytes};
    StreamEvents events;
    std::thread thread;
    bool verified = false;
};

using HeldCards = std::vector<std::unique_ptr<HeldCard>>;

// A card refused before its first byte ends with what it still holds: all it had.
void refuseCard(const CardEvents &events, int index, const QString &refusal)
{
    events.finished(index, false, refusal.trimmed() + QLatin1Char(' ') + cardStateText(false));
}

// Whether the card may be written, and everything mounted from it taken down: one card after the
// other, since this runs programs.
bool prepareCard(const HelperCard &card, struct stat *status, QString *error)
{
    QString enumerationError;
    if (!isAllowedTarget(card.devicePath, &enumerationError))
        return fail(error, notAllowedText(card.devicePath, enumerationError));
    return prepareTarget(card.devicePath, status, error);
}

// Opens and checks a prepared card on its own thread (the fake-card check takes its time on a
// slow card), and tells whether it is held or why not.
std::unique_ptr<HeldCard> openCard(int index, const HelperCard &card, struct stat status, qint64 imageSize,
                                   const CardEvents &events)
{
    DriveIdentity identity;
    QString refusal;
    const int fd = openPreparedTarget(card.devicePath, qMax(imageSize, qint64(0)), card.identity, &status,
                                      &identity, &refusal);
    if (fd < 0) {
        refuseCard(events, index, refusal);
        return nullptr;
    }
    auto held = std::make_unique<HeldCard>(index, card.devicePath, fd);
    held->blockDevice = S_ISBLK(status.st_mode);
    held->byteLimit = held->blockDevice && identity.sizeBytes > 0 ? identity.sizeBytes : -1;
    events.held(index);
    return held;
}

// Prepares every card in turn, then opens and checks them all at once: the cards that passed.
HeldCards holdCards(const QList<HelperCard> &cards, qint64 imageSize, const CardEvents &events)
{
    std::vector<std::unique_ptr<HeldCard>> opened(size_t(cards.size()));
    std::vector<std::thread> checks;
    for (int index = 0; index < cards.size(); ++index) {
        struct stat status;
        QString refusal;
        if (!prepareCard(cards.at(index), &status, &refusal)) {
            refuseCard(events, index, refusal);
            continue;
        }
        checks.emplace_back([&, index, status] {
            opened[size_t(index)] = openCard(index, cards.at(index), status, imageSize, events);
        });
    }
    for (std::thread &check : checks)
        check.join();
    HeldCards held;
    for (auto &card : opened)
        if (card)
            held.push_back(std::move(card));
    return held;
}

// The card's next piece or its end, the card asked in between whether it is still there.
bool nextItem(HeldCard &card, CardWatch &watch, PieceQueue::Item *item, QString *reason)
{
    do {
        if (!watch.lookIfDue(reason))
            return false;
    } while (!card.queue.pop(item, watch.millisecondsToNextLook()));
    return true;
}

// Hands the card's pieces to its writer until the end; true if the image is on the card.
bool receivePieces(HeldCard &card, StreamWriter &writer, QString *reason)
{
    CardWatch watch(card.target.get(), card.devicePath, card.blockDevice);
    qint64 received = 0;
    for (;;) {
        PieceQueue::Item item;
        if (!nextItem(card, watch, &item, reason))
            return false;
        if (item.piece.isEmpty())
            return item.goAhead ? writer.finish() : fail(reason, item.reason);
        received += item.piece.size();
        if (card.byteLimit >= 0 && received > card.byteLimit)
            return fail(reason, ImageStream::cardTooSmallText(card.byteLimit));
        if (!writer.add(item.piece))
            return false;
    }
}

// The card's thread: write, read back, and report its end. A card that stopped gives up its queue
// first, so the reader never waits for it again.
void runCard(HeldCard &card, bool verify, qint64 imageSize, const CardEvents &events)
{
    QString reason;
    StreamWriter writer(card.target.get(), card.blockDevice, imageSize, card.devicePath, card.events,
                        &reason);
    const bool written = receivePieces(card, writer, &reason);
    card.queue.giveUp();
    card.verified = written && (!verify || writer.verify());
    // The exclusive descriptor stayed open until here; now the kernel reads the card's table.
    if (card.blockDevice && writer.touched())
        ::ioctl(card.target.get(), BLKRRPART, 0);
    if (!written)
        reason += QLatin1Char(' ') + cardStateText(writer.touched());
    events.finished(card.index, card.verified, card.verified ? QString() : reason);
}

void startCard(HeldCard &card, bool verify, qint64 imageSize, const CardEvents &events)
{
    const int index = card.index;
    card.events.writing = [&events, index] { events.writing(index); };
    card.events.progress = [&events, index](const char *phase, qint64 done, qint64 total) {
        events.progress(index, phase, done, total);
    };
    card.thread = std::thread(runCard, std::ref(card), verify, imageSize, std::cref(events));
}

// Reads the frames and gives each piece to every card still going. True on the go-ahead; false
// with the reason on an abort or a broken input, or with no reason once no card takes any more.
bool feedCards(ImageStreamReader &reader, const HeldCards &cards, QString *reason)
{
    return receiveImage(
        reader,
        [&cards](QByteArrayView data) {
            const QByteArray piece(data.data(), data.size());
            bool taken = false;
            for (const auto &card : cards)
                taken = card->queue.push(piece) || taken;
            return taken;
        },
        reason);
}

QString runErrorText(qsizetype failed, qsizetype total)
{
    return QStringLiteral("%1 von %2 Karten sind nicht geschrieben und geprüft.").arg(failed).arg(total);
}

} // namespace

bool writeStreamToCards(int input, const QList<HelperCard> &cards, bool verify, qint64 imageSize,
                        const CardEvents &events, QString *error)
{
    const HeldCards held = holdCards(cards, imageSize, events);
    if (held.empty())
        return fail(error, QStringLiteral("Keine der Karten kann beschrieben werden."));
    events.ready();

    for (const auto &card : held)
        startCard(*card, verify, imageSize, events);
    ImageStreamReader reader(
        [input](char *buffer, qint64 length) { return qint64(::read(input, buffer, size_t(length))); }, -1,
        imageSize);
    QString reason;
    const bool goAhead = feedCards(reader, held, &reason);
    qsizetype failed = cards.size() - qsizetype(held.size());
    for (const auto &card : held) {
        card->queue.end(goAhead, reason);
        card->thread.join();
        failed += card->verified ? 0 : 1;
    }
    if (failed == 0)
        return true;
    return fail(error, reason.isEmpty() || goAhead ? runErrorText(failed, cards.size()) : reason);
}
