// SPDX-License-Identifier: MIT
#pragma once

#include "comm/ipc/protocol.h"
#include "comm/ipc/servererror.h"
#include "platform/messagesink.h"

#include <QObject>
#include <QString>
#include <QVariant>

#include <functional>
#include <memory>
#include <stdexcept>

// Declarations shared by the transport and master components, the server wrappers and the
// exchange server.
namespace comm {

enum TQueryType : quint8 { qtNormal = 0, qtHigh = 1, qtInplace = 2 };

enum TTransportType : quint8 { ttRS232 = 0, ttRS485 = 1, ttModem = 2, ttTrivialFTP = 3, ttUSB = 4 };

// Protocol family of a master.
enum TIntType : quint8 { itMB = 0, itBB = 1 };

// Where the exchange server runs: on this machine (its running instance, else a new one) or on
// a named remote machine.
enum class TConnectKind { ckLocal, ckRemote };

// Type of the RetValue parameters of the master operations (accepted and ignored).
using PExchRec = qint32*;

// Per-query call-back of a master: receives the answer of the task registered under its QID.
class IMasterCallBack {
public:
    virtual ~IMasterCallBack() = default;
    virtual void ExchangeResult(QObject* Sender, qint32 QID, qint32 MBAddr, qint32 FunNumber,
                                const QVariant& Value, qint32 Result) = 0;
};
using IMasterCallBackPtr = std::shared_ptr<IMasterCallBack>;

// Component events.
using TCustomOnStateChanged = std::function<void(QObject* ASender, qint32 AOldState,
                                                 qint32 ANewState, const QString& AStateMsg)>;
using TCustomOnChangeConnected = std::function<void(QObject* ASender, bool AConnected)>;

// Transport states reported by the exchange server (comm/ipc/protocol.h).
using ipc::TransportState;
using ipc::tsClosed;
using ipc::tsOpen;

// A value that does not convert to the type a settings array needs.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// A settings-array element as an integer; EConvertError, naming the element, when it is none.
[[nodiscard]] inline qint32 settingsInt(const QVariant& v, const char* what) {
    bool ok = false;
    const qint32 x = v.toInt(&ok);
    if (!ok)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value (%2)")
                                .arg(v.toString(), QLatin1String(what)));
    return x;
}

// The elements of a props array; EConvertError when it has fewer than `size`.
[[nodiscard]] inline QVariantList propsElements(const QVariant& value, int size) {
    QVariantList elements = value.toList();
    if (elements.size() < size)
        throw EConvertError(QStringLiteral("the settings array needs %1 elements").arg(size));
    return elements;
}

// A property write of a component: stores the value and pushes the settings (SendProps decides
// whether anything goes out).
template <typename Component, typename T>
void storeAndPush(Component& component, T& field, T value) {
    field = value;
    component.SendProps();
}

// Runs `apply` inside BeginUpdate ... EndUpdate of a component, so that the settings go out once
// at the end; EndUpdate runs also when `apply` throws, and the exception goes on.
template <typename Component, typename Apply> void inUpdate(Component& component, Apply&& apply) {
    component.BeginUpdate();
    try {
        apply();
    } catch (...) {
        component.EndUpdate();
        throw;
    }
    component.EndUpdate();
}

// Where the components show their messages ("Неверно задан параметр!"): the program's one
// message sink, given to each component (a failure of the exchange server or of the connection
// to it is an error). A component without one writes to the Qt log; a window gives its
// components its own, tests one that records. This is the sink of components that were given
// none: the Qt log.
platform::IMessageSink& logMessageSink();

// Current process identifier, passed to the server's AttachClient/DetachClient.
[[nodiscard]] qint32 currentProcessId();

} // namespace comm
