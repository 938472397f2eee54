// SPDX-License-Identifier: MIT
#pragma once

#include "platform/endpoint.h"

#include <QAbstractSocket>
#include <QString>

#include <chrono>
#include <memory>

class QTcpSocket;

// TCP connections of the access library to network endpoints, opened in blocking mode on the
// calling thread within a time limit.
namespace ombrel {

// Why a connection could not be made.
enum class ConnectFailure { Refused, NotFound, LookupTimedOut, Unreachable, TimedOut, Other };

ConnectFailure classifyConnectFailure(QAbstractSocket::SocketError error);

// The user's text of a failure to reach `endpoint` (its text); `limit` is the connect time limit
// (for the time-outs), `systemText` the socket's own text (for Other).
QString connectFailureText(ConnectFailure failure, const QString& endpoint,
                           std::chrono::milliseconds limit, const QString& systemText);

// Connects to the endpoint within `limit`: a host name is resolved on a thread of its own (a
// resolver may take far longer than the limit; a late answer is then dropped), then its
// addresses are tried in turn until one connects or the time is up. Returns the connected socket
// (small frames sent at once, a bounded read buffer), or nothing and the reason in `error`.
std::unique_ptr<QTcpSocket> connectEndpoint(const platform::NetworkEndpoint& endpoint,
                                            std::chrono::milliseconds limit, QString* error);

} // namespace ombrel
