// SPDX-License-Identifier: GPL-3.0-or-later
#include "networkrequest.h"

QNetworkRequest networkRequest(const QUrl &url, int transferTimeoutMs)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArrayLiteral(TOBRA_USER_AGENT));
    return request;
}
