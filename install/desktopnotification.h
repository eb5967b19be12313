// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// Shows summary and body as a desktop notification through the session bus's notification
// service. Returns false, and shows nothing, where no session bus or no such service exists;
// does not wait for the service's answer. The body is shown as plain text, never as markup.
bool notifyDesktop(const QString &summary, const QString &body);
