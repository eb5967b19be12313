// SPDX-License-Identifier: GPL-3.0-or-later
#include "sleepinhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace {

constexpr int answerTimeoutMs = 5000;

} // namespace

SleepInhibitor::SleepInhibitor(QObject *parent) : QObject(parent)
{}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

void SleepInhibitor::acquire(const QString &why)
{
    if (pending || isHeld())
        return;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Tobra Installer") << why
         << QStringLiteral("block");
    pending = new QDBusPendingCallWatcher(bus.asyncCall(call, answerTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, &SleepInhibitor::onAnswer);
}

void SleepInhibitor::release()
{
    delete pending;
    pending = nullptr;
    lock = QDBusUnixFileDescriptor();
}

void SleepInhibitor::onAnswer(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    pending = nullptr;
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = *call;
    if (!reply.isError())
        lock = reply.value();
    Q_EMIT answered(isHeld());
}
