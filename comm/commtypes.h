#pragma once

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

// Transport states reported by the exchange server. States 0 and 1 carry the transport
// identifier of the channel (-1 = no channel).
enum TransportState : qint32 { tsClosed = 0, tsOpen = 1 };

// An error of a server call (server unreachable or gone, call refused, bad arguments). It
// reaches the caller of the component operation that made the call.
class ServerError : public std::runtime_error {
public:
    explicit ServerError(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    QString message() const { return m_message; }

private:
    QString m_message;
};

// A value that does not convert to the type a settings array needs.
class EConvertError : public std::runtime_error {
public:
    explicit EConvertError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// Where the components show their messages ("Неверно задан параметр!"): the program's one
// message sink. The default sink writes to the Qt log; a window installs its own, tests one that
// records.
using IMessageSink = ::IMessageSink;

// Installs the process-wide sink (nullptr restores the default) and returns the previous one.
IMessageSink* setMessageSink(IMessageSink* sink);
IMessageSink* messageSink();

// Current process identifier, passed to the server's AttachClient/DetachClient.
qint32 currentProcessId();

} // namespace comm
