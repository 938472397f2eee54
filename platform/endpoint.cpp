// SPDX-License-Identifier: MIT
#include "platform/endpoint.h"

#include <QHostAddress>

namespace platform {
namespace {

constexpr QStringView kTcpScheme = u"tcp://";
constexpr QStringView kRtuTcpScheme = u"rtu+tcp://";

// A host name: labels of letters, digits, '-' and '_' between dots, at most 253 characters.
bool validHostName(QStringView host) {
    if (host.isEmpty() || host.size() > 253 || host.startsWith(u'.') || host.endsWith(u'.') ||
        host.contains(u".."))
        return false;
    for (const QChar c : host) {
        const char16_t u = c.unicode();
        const bool ok = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') ||
                        (u >= u'0' && u <= u'9') || u == u'-' || u == u'_' || u == u'.';
        if (!ok)
            return false;
    }
    return true;
}

// A port number: decimal digits only, 1 to 65535; 0 for any other text.
int portNumber(QStringView text) {
    if (text.isEmpty() || text.size() > 5)
        return 0;
    int n = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return 0;
        n = n * 10 + (c.unicode() - u'0');
    }
    return n <= 65535 ? n : 0;
}

std::optional<NetworkEndpoint> fail(QString* error, const QString& text) {
    if (error)
        *error = text;
    return std::nullopt;
}

} // namespace

QString NetworkEndpoint::text() const {
    const QString scheme =
        framing == Framing::ModbusTcp ? kTcpScheme.toString() : kRtuTcpScheme.toString();
    const bool v6 = host.contains(u':');
    return scheme + (v6 ? u'[' + host + u']' : host) + u':' + QString::number(port);
}

bool isNetworkEndpoint(QStringView text) {
    const QStringView t = text.trimmed();
    return t.startsWith(kTcpScheme, Qt::CaseInsensitive) ||
           t.startsWith(kRtuTcpScheme, Qt::CaseInsensitive);
}

std::optional<NetworkEndpoint> parseNetworkEndpoint(QStringView text, QString* error) {
    const QStringView t = text.trimmed();
    const QString quoted = u'«' + t.toString() + u'»';
    NetworkEndpoint ep;
    QStringView rest;
    if (t.startsWith(kTcpScheme, Qt::CaseInsensitive)) {
        rest = t.mid(kTcpScheme.size());
    } else if (t.startsWith(kRtuTcpScheme, Qt::CaseInsensitive)) {
        ep.framing = NetworkEndpoint::Framing::RtuOverTcp;
        rest = t.mid(kRtuTcpScheme.size());
    } else {
        return fail(error, QStringLiteral("%1 — не сетевой адрес (tcp://УЗЕЛ[:ПОРТ] или "
                                          "rtu+tcp://УЗЕЛ:ПОРТ).")
                               .arg(quoted));
    }

    QStringView host;
    QStringView port;
    bool hasPort = false;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0)
            return fail(error, QStringLiteral("Адрес %1: нет закрывающей скобки «]».").arg(quoted));
        host = rest.sliced(1, close - 1);
        const QStringView after = rest.sliced(close + 1);
        if (!after.isEmpty() && !after.startsWith(u':'))
            return fail(
                error,
                QStringLiteral("Адрес %1: после «]» может стоять только «:ПОРТ».").arg(quoted));
        hasPort = !after.isEmpty();
        port = hasPort ? after.sliced(1) : QStringView();
        const QHostAddress address(host.toString());
        if (address.protocol() != QAbstractSocket::IPv6Protocol)
            return fail(
                error,
                QStringLiteral("Адрес %1: «%2» — не IPv6-адрес.").arg(quoted, host.toString()));
    } else {
        const qsizetype colon = rest.indexOf(u':');
        if (colon >= 0 && rest.indexOf(u':', colon + 1) >= 0)
            return fail(error, QStringLiteral("Адрес %1: IPv6-адрес пишется в квадратных скобках "
                                              "(tcp://[::1]:502).")
                                   .arg(quoted));
        hasPort = colon >= 0;
        host = hasPort ? rest.first(colon) : rest;
        port = hasPort ? rest.sliced(colon + 1) : QStringView();
        if (host.isEmpty())
            return fail(error, QStringLiteral("Адрес %1: не указан узел.").arg(quoted));
        if (!validHostName(host))
            return fail(error, QStringLiteral("Адрес %1: недопустимое имя узла «%2».")
                                   .arg(quoted, host.toString()));
    }

    if (hasPort) {
        const int n = portNumber(port);
        if (n == 0)
            return fail(error, QStringLiteral("Адрес %1: недопустимый номер порта «%2» (нужно "
                                              "число от 1 до 65535).")
                                   .arg(quoted, port.toString()));
        ep.port = quint16(n);
    } else if (ep.framing == NetworkEndpoint::Framing::RtuOverTcp) {
        return fail(error, QStringLiteral("Адрес %1: для rtu+tcp:// нужен номер порта "
                                          "(rtu+tcp://УЗЕЛ:ПОРТ).")
                               .arg(quoted));
    } else {
        ep.port = kModbusTcpPort;
    }
    ep.host = host.toString();
    return ep;
}

} // namespace platform
