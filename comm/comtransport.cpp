// SPDX-License-Identifier: MIT
#include "comm/comtransport.h"

#include "comm/ipc/settingsarrays.h"
#include "platform/portname.h"

namespace comm {

using namespace comm::ipc;

bool IsValidPortName(const QString& Value) {
    return platform::comPortNumber(Value) != 0;
}

QString invalidParameterText() {
    return QStringLiteral("Неверно задан параметр!");
}

// ---- TComTransport ----

TComTransport::TComTransport(QObject* AOwner, bool ADesignTime)
    : TAnyTransportCustom(AOwner, ADesignTime) {}

void TComTransport::SetPort(const QString& Value) {
    if (!IsValidPortName(Value)) {
        MessageSink().information(invalidParameterText());
        return;
    }
    storeAndPush(*this, FPort, Value);
}

// ---- TRS232Transport ----

TRS232Transport::TRS232Transport(QObject* AOwner, bool ADesignTime)
    : TComTransport(AOwner, ADesignTime) {
    FDisplayName = QStringLiteral("RS232");
    FTransportType = ttRS232;
}

QVariantList TRS232Transport::ServerSettingsArray() const {
    using L = TransportSettingsArray;
    QVariantList a(L::Size);
    a[L::Type] = QVariant::fromValue(quint8(FTransportType));
    a[L::Port] = FPort;
    a[L::Speed] = QVariant::fromValue(quint32(FSpeed));
    a[L::FlowControl] = QVariant::fromValue(quint32(FFlowControl));
    a[L::AnswerDelay] = QVariant::fromValue(qint32(FAnswerDelay));
    a[L::ByteTimeout] = QVariant::fromValue(qint32(FByteTimeout));
    a[L::Retries] = QVariant::fromValue(qint32(FRetries));
    return a;
}

void TRS232Transport::SendProps() {
    if (FDesignTime || !FAT || FUpdating)
        return;
    FAT->SetProps(ServerSettingsArray());
}

// The props carry the speed and flow control as quint8, unlike the settings array.
QVariant TRS232Transport::GetProps() {
    using L = TransportPropsArray;
    QVariantList p = ServerSettingsArray();
    p.resize(L::Size);
    p[L::Speed] = QVariant::fromValue(quint8(FSpeed));
    p[L::FlowControl] = QVariant::fromValue(quint8(FFlowControl));
    p[L::RemoteMachineName] = FRemoteMachineName;
    p[L::UseDCOM] = FUseDCOM;
    return p;
}

void TRS232Transport::SetProps(const QVariant& Value) {
    using L = TransportPropsArray;
    inUpdate(*this, [&] {
        const QVariantList p = propsElements(Value, L::Size);
        FPort = p[L::Port].toString();
        FSpeed = TComTransportSpeed(settingsInt(p[L::Speed], "Speed"));
        FFlowControl = TComFlowContol(settingsInt(p[L::FlowControl], "FlowControl"));
        FAnswerDelay = settingsInt(p[L::AnswerDelay], "AnswerDelay");
        FByteTimeout = settingsInt(p[L::ByteTimeout], "ByteTimeout");
        FRetries = settingsInt(p[L::Retries], "Retries");
        SetRemoteMachineName(p[L::RemoteMachineName].toString());
        SetUseDCOM(p[L::UseDCOM].toBool());
    });
}

TBasePropsFrame* TRS232Transport::CreatePropsFrame() {
    return newPropsFrame(PropsFrameKind::RS232);
}

} // namespace comm
