// SPDX-License-Identifier: GPL-3.0-or-later
#include "versionlist.h"

#include "fail.h"
#include "plaintext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>
#include <cmath>
#include <limits>

namespace {

constexpr qint32 supportedSchema = 1;

// Absent, null or non-string values read as the empty string.
QString readText(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString().trimmed() : QString();
}

// Anything but a whole number in the 32-bit range reads as 0, which means "no schema".
qint32 readSchema(const QJsonObject &document)
{
    const QJsonValue value = document.value(QLatin1String("schema"));
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    const bool whole = std::trunc(number) == number;
    const bool inRange =
        number >= std::numeric_limits<qint32>::min() && number <= std::numeric_limits<qint32>::max();
    return whole && inRange ? static_cast<qint32>(number) : 0;
}

bool isValidChecksum(const QString &sha256)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[0-9a-f]{64}\\z"));
    return pattern.match(sha256).hasMatch();
}

// The optional unpacked size: absent or null reads as 0 (not given); anything but a whole number of
// bytes from 1 to 2^53 (what a JSON number holds exactly) is refused.
bool readImageSize(const QJsonObject &object, qint64 *size)
{
    const QJsonValue value = object.value(QLatin1String("image_size"));
    if (value.isUndefined() || value.isNull()) {
        *size = 0;
        return true;
    }
    constexpr double largestExact = 9007199254740992.0;
    const double number = value.toDouble(-1);
    if (!value.isDouble() || std::trunc(number) != number || number < 1 || number > largestExact)
        return false;
    *size = static_cast<qint64>(number);
    return true;
}

// Reads and checks entry number (counted from 1); the first fault ends the parse.
bool readEntry(const QJsonValue &value, int number, VersionEntry *entry, QString *error)
{
    const QString n = QString::number(number);
    if (!value.isObject())
        return fail(error, QStringLiteral("Eintrag %1 in der tobra.json ist ungültig").arg(n));
    const QJsonObject object = value.toObject();
    // Texts that are shown lose what would steer a terminal or reorder a line; the image name is
    // checked as it stands.
    entry->title = withoutControls(readText(object, "title")).trimmed();
    entry->image = readText(object, "image");
    entry->kickstart = withoutControls(readText(object, "kickstart")).trimmed();
    entry->sha256 = readText(object, "sha256").toLower();
    if (entry->title.isEmpty())
        return fail(error, QStringLiteral("Eintrag %1: Titel fehlt").arg(n));
    if (!isValidImageName(entry->image))
        return fail(error, QStringLiteral("Eintrag %1 (%2): ungültiger Image-Name").arg(n, entry->title));
    if (!entry->sha256.isEmpty() && !isValidChecksum(entry->sha256))
        return fail(error,
                    QStringLiteral("Eintrag %1 (%2): ungültige SHA-256-Prüfsumme").arg(n, entry->title));
    if (!readImageSize(object, &entry->imageSize))
        return fail(error, QStringLiteral("Eintrag %1 (%2): ungültige Image-Größe").arg(n, entry->title));
    return true;
}

bool readEntries(const QJsonArray &array, QList<VersionEntry> *entries, QString *error)
{
    for (int i = 0; i < array.size(); ++i) {
        VersionEntry entry;
        if (!readEntry(array.at(i), i + 1, &entry, error))
            return false;
        entries->append(entry);
    }
    if (entries->isEmpty())
        return fail(error, QStringLiteral("Die tobra.json enthält noch keine Versionen"));
    return true;
}

bool checkSchema(qint32 schema, QString *error)
{
    if (schema < supportedSchema)
        return fail(error, QStringLiteral("In der tobra.json fehlt die Schema-Version"));
    if (schema > supportedSchema)
        return fail(error,
                    QStringLiteral("Die tobra.json braucht eine neuere Version des Installers (Schema %1)")
                        .arg(QString::number(schema)));
    return true;
}

} // namespace

bool isValidImageName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9][A-Za-z0-9._-]{0,127}\\z"));
    return pattern.match(name).hasMatch();
}

bool parseVersionList(const QByteArray &bytes, VersionList *list, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error,
                    QStringLiteral("tobra.json ist kein gültiges JSON: %1").arg(parseError.errorString()));
    if (!document.isObject())
        return fail(error, QStringLiteral("tobra.json hat ein unerwartetes Format"));
    const QJsonObject top = document.object();
    if (!checkSchema(readSchema(top), error))
        return false;
    const QJsonValue versions = top.value(QLatin1String("versions"));
    if (!versions.isArray())
        return fail(error, QStringLiteral("In der tobra.json fehlt die Liste \"versions\""));
    VersionList parsed;
    if (!readEntries(versions.toArray(), &parsed.versions, error))
        return false;
    parsed.schema = supportedSchema;
    if (list)
        *list = parsed;
    return true;
}
