// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QNetworkRequest>
#include <QUrl>

// A request for url as the program sends every one: redirects only to equally safe addresses,
// always from the network (never from a cache), naming the program, and given up after
// transferTimeoutMs without data.
QNetworkRequest networkRequest(const QUrl &url, int transferTimeoutMs);
