// SPDX-License-Identifier: MIT
#include "tcplink.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <netdb.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ombrel {
namespace {

using namespace std::chrono;

// What a socket buffers between two reads of the master: a peer that floods the connection
// costs at most this much memory.
constexpr qint64 kReadBufferSize = 64 * 1024;

// The answer of the system's resolver, shared with the thread that asks it.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    QList<QHostAddress> addresses;
};

void resolve(const std::shared_ptr<Lookup>& lookup, const QByteArray& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    QList<QHostAddress> found;
    if (::getaddrinfo(host.constData(), nullptr, &hints, &list) == 0) {
        for (const addrinfo* a = list; a; a = a->ai_next) {
            const QHostAddress address(a->ai_addr);
            if (!address.isNull() && !found.contains(address))
                found.append(address);
        }
        ::freeaddrinfo(list);
    }
    std::lock_guard lock(lookup->mutex);
    lookup->addresses = found;
    lookup->finished = true;
    lookup->done.notify_all();
}

// The addresses of `host` (an address stands for itself); empty when the name is unknown.
// `timedOut` is set when the resolver had not answered by the deadline.
QList<QHostAddress> addressesOf(const QString& host, steady_clock::time_point deadline,
                                bool* timedOut) {
    *timedOut = false;
    const QHostAddress literal(host);
    if (!literal.isNull())
        return {literal};
    auto lookup = std::make_shared<Lookup>();
    std::thread(resolve, lookup, host.toUtf8()).detach();
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
        *timedOut = true;
        return {};
    }
    return lookup->addresses;
}

QString seconds(milliseconds limit) {
    return QString::number(double(limit.count()) / 1000.0, 'g', 3);
}

} // namespace

ConnectFailure classifyConnectFailure(QAbstractSocket::SocketError error) {
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return ConnectFailure::Refused;
    case QAbstractSocket::HostNotFoundError:
        return ConnectFailure::NotFound;
    case QAbstractSocket::NetworkError:
        return ConnectFailure::Unreachable;
    case QAbstractSocket::SocketTimeoutError:
        return ConnectFailure::TimedOut;
    default:
        return ConnectFailure::Other;
    }
}

QString connectFailureText(ConnectFailure failure, const QString& endpoint, milliseconds limit,
                           const QString& systemText) {
    switch (failure) {
    case ConnectFailure::Refused:
        return QStringLiteral("Соединение с %1 отклонено: на этом порту никто не принимает "
                              "соединений.")
            .arg(endpoint);
    case ConnectFailure::NotFound:
        return QStringLiteral("Узел %1 не найден: имя не удаётся разрешить в адрес.").arg(endpoint);
    case ConnectFailure::LookupTimedOut:
        return QStringLiteral("Адрес узла %1 не удалось найти за %2 с.")
            .arg(endpoint, seconds(limit));
    case ConnectFailure::Unreachable:
        return QStringLiteral("Узел %1 недоступен: нет пути к нему в сети.").arg(endpoint);
    case ConnectFailure::TimedOut:
        return QStringLiteral("Узел %1 не ответил на соединение за %2 с.")
            .arg(endpoint, seconds(limit));
    case ConnectFailure::Other:
        break;
    }
    return QStringLiteral("%1: %2").arg(endpoint, systemText);
}

std::unique_ptr<QTcpSocket> connectEndpoint(const platform::NetworkEndpoint& endpoint,
                                            milliseconds limit, QString* error) {
    const auto deadline = steady_clock::now() + limit;
    const QString name = endpoint.text();
    bool resolverLate = false;
    const QList<QHostAddress> addresses = addressesOf(endpoint.host, deadline, &resolverLate);
    ConnectFailure failure =
        resolverLate ? ConnectFailure::LookupTimedOut : ConnectFailure::NotFound;
    QString systemText;
    for (const QHostAddress& address : addresses) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) {
            failure = ConnectFailure::TimedOut;
            break;
        }
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(address, endpoint.port);
        if (socket->waitForConnected(int(left))) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            socket->setReadBufferSize(kReadBufferSize);
            return socket;
        }
        failure = classifyConnectFailure(socket->error());
        systemText = socket->errorString();
        socket->abort();
    }
    if (error)
        *error = connectFailureText(failure, name, limit, systemText);
    return nullptr;
}

} // namespace ombrel
