// SPDX-License-Identifier: MIT
#pragma once

#include "platform/tokenthrottle.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Who may see the status page. On loopback anybody on this machine may, unless a token was given;
// on another address a token is demanded (the collector does not start without one). The token
// comes as HTTP basic authentication (any user name, the token as the password: what a browser
// asks for) or as a bearer token. After a wrong token the next token from that address is checked
// only after a growing delay (the exchange server's rule); requests that come sooner are refused
// unchecked.
namespace collect {

class TPageAccess {
public:
    // `token` empty: every request is let in.
    explicit TPageAccess(const QString& token, platform::TokenThrottle::Clock clock = {});

    struct TVerdict {
        int status = 200;       // 200 let in, 401 no or wrong token, 429 too soon after a wrong one
        qint64 retryAfterS = 0; // 429: seconds until a token from the address is checked again
    };
    // The request from `peer` with its Authorization header (empty when it has none).
    TVerdict Check(const QString& peer, const QByteArray& authorization);

    // The token a header presents: the password of "Basic", or "Bearer"'s token; nothing for
    // another header.
    static std::optional<QString> PresentedToken(const QByteArray& authorization);

private:
    QString m_token;
    platform::TokenThrottle m_throttle;
};

// The token of the status page: the first line of `file`, else JOURNAL_COLLECT_TOKEN; empty when
// neither gives one. A file that cannot be read or holds no token gives `error`.
QString LoadPageToken(const QString& file, QString* error);

} // namespace collect
