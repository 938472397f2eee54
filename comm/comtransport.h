// SPDX-License-Identifier: MIT
#pragma once

#include "comm/basecomponents.h"
#include "comm/ipc/speeds.h"

namespace comm {

enum TComFlowContol : quint8 { fcNone = 0, fcHardware = 1 };

// Baud rate of a speed ordinal; 0 for an ordinal outside the enumeration.
using ipc::baudRateOf;

// The port check: a port name by the one COMn rule (platform::comPortNumber).
[[nodiscard]] bool IsValidPortName(const QString& Value);

// Text shown when a port name is refused.
[[nodiscard]] QString invalidParameterText();

// A serial channel: port, speed, flow control and exchange timings.
class TComTransport : public TAnyTransportCustom {
    Q_OBJECT
public:
    explicit TComTransport(QObject* AOwner = nullptr, bool ADesignTime = false);

    QString Port() const { return FPort; }
    // Refuses a name that IsValidPortName rejects, with the message "Неверно задан параметр!".
    void SetPort(const QString& Value);
    TComTransportSpeed Speed() const { return FSpeed; }
    void SetSpeed(TComTransportSpeed Value) { storeAndPush(*this, FSpeed, Value); }
    qint32 AnswerDelay() const { return FAnswerDelay; }
    void SetAnswerDelay(qint32 Value) { storeAndPush(*this, FAnswerDelay, Value); }
    qint32 Retries() const { return FRetries; }
    void SetRetries(qint32 Value) { storeAndPush(*this, FRetries, Value); }
    qint32 ByteTimeout() const { return FByteTimeout; }
    void SetByteTimeout(qint32 Value) { storeAndPush(*this, FByteTimeout, Value); }
    TComFlowContol FlowControl() const { return FFlowControl; }
    void SetFlowControl(TComFlowContol Value) { storeAndPush(*this, FFlowControl, Value); }

protected:
    qint32 FAnswerDelay = 500;
    qint32 FRetries = 10;
    qint32 FByteTimeout = 10;
    TComTransportSpeed FSpeed = kDefaultSpeed;
    QString FPort = QStringLiteral("COM1");
    TComFlowContol FFlowControl = fcNone;
};

// The RS-232 transport.
class TRS232Transport : public TComTransport {
    Q_OBJECT
public:
    explicit TRS232Transport(QObject* AOwner = nullptr, bool ADesignTime = false);

    void SendProps() override;
    QVariant GetProps() override;
    void SetProps(const QVariant& Value) override;
    TBasePropsFrame* CreatePropsFrame() override;

    // Settings array as SendProps hands it to the server.
    [[nodiscard]] QVariantList ServerSettingsArray() const;
};

} // namespace comm
