// SPDX-License-Identifier: MIT
#pragma once

#include "comm/commtypes.h"
#include "comm/ipc/serversocket.h"

#include <QString>

// Where the components find the exchange server and how a local one is started.
namespace comm {

struct ServerLocation {
    TConnectKind kind = TConnectKind::ckLocal;
    QString socketPath; // local: the per-user socket
    QString host;       // remote
    quint16 port = 0;   // remote
    QString token;      // remote: the access token the server was started with

    QString key() const;
};

// Port of a remote exchange server when RemoteMachineName names none ("host" or "host:port").
constexpr quint16 kDefaultServerPort = 47811;
// Name of the server program in the program directory.
inline constexpr char kServerProgramName[] = "journal-exchange-server";

// The server program: $JOURNAL_EXCHANGE_SERVER when set, else journal-exchange-server in the
// program directory.
[[nodiscard]] QString exchangeServerProgram();

// Location for a connection kind and machine name. Remote: the token comes from
// $JOURNAL_SERVER_TOKEN.
[[nodiscard]] ServerLocation serverLocationFor(TConnectKind kind, const QString& remoteMachineName);

} // namespace comm
