// SPDX-License-Identifier: GPL-3.0-or-later
#include "desktopnotification.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");

bool serviceAvailable(const QDBusConnection &bus)
{
    const QDBusConnectionInterface *names = bus.interface();
    return names && (names->isServiceRegistered(service).value() ||
                     names->activatableServiceNames().value().contains(service));
}

} // namespace

// Notification services may read the body as markup; it carries outside text (file names, server
// texts), so it goes as plain text.
bool notifyDesktop(const QString &summary, const QString &body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !serviceAvailable(bus))
        return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/freedesktop/Notifications"), service, QStringLiteral("Notify"));
    const uint replacesNone = 0;
    const int serverTimeout = -1;
    call << QStringLiteral("Tobra Installer") << replacesNone << QStringLiteral("tobra-installer") << summary
         << body.toHtmlEscaped() << QStringList() << QVariantMap() << serverTimeout;
    return bus.send(call);
}
