// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

// Messages between the components and the exchange server. Every message is a list:
//   request: [kind (quint8), call id (quint32), object id (quint32), arguments...]
//   reply:   [mkReply, call id, 0, status (qint32, 0 = done), error text (QString), value]
//   event:   [mkEvent, 0, object id, event kind (quint8), arguments...]
// The first message of a connection must be mkHello with the access token (empty for the local
// socket) and the client's process id; anything else, or a wrong token, closes the connection.
namespace comm::ipc {

enum MessageKind : quint8 {
    mkHello = 1,
    mkReply = 2,
    mkEvent = 3,
    mkCreateObject = 4,  // [object kind] -> object id
    mkReleaseObject = 5, // -> nothing
    mkAttachClient = 6,  // [process id]
    mkDetachClient = 7,  // [process id]
    mkTransportSetProps = 10,
    mkTransportSetConnected = 11, // [bool]
    mkTransportGetConnected = 12, // -> bool
    mkTransportGetID = 13,        // -> qint32
    mkTransportAddTask = 14,      // [task]
    mkMasterSetProps = 20,
    mkMasterSetTransportID = 21, // [qint32]
    mkMasterAddTask = 22,        // [task]
    mkMasterAddInplaceTask = 23, // [task, timeout ms] -> answer array
    mkMasterFreeTask = 24,       // [qint32 QID]
    mkMasterFreeAllTasks = 25,
    mkServerInfo = 30, // -> [process id (qint64)]
};

enum ObjectKind : quint8 { okTransport = 1, okMaster = 2 };

enum EventKind : quint8 {
    ekStateChanged = 1, // [old state, new state, transport id] (qint32 each)
    ekExchange = 2,     // [answer array]
};

// Transport states of ekStateChanged. States 0 and 1 carry the transport identifier of the
// channel (-1 = no channel).
enum TransportState : qint32 { tsClosed = 0, tsOpen = 1 };

// Reply status codes.
enum ReplyStatus : qint32 {
    rsOk = 0,
    rsFailed = 1, // the call was understood and refused (bad arguments, unknown object)
    rsUnknownCall = 2,
};

} // namespace comm::ipc
