#include "comm/comtransport.h"

#include "comm/ipc/settingsarrays.h"
#include "comm/propsframes.h"

namespace comm {

using namespace comm::ipc;

namespace {

// Integer conversion of a text the way the runtime's string-to-integer does it: optional
// blanks, an optional sign, then decimal digits or "$"/"0x" and hex digits.
bool parseRuntimeInt(const QString& text, qint64& out) {
    QString s = text.trimmed();
    bool negative = false;
    if (s.startsWith(u'-') || s.startsWith(u'+')) {
        negative = s.startsWith(u'-');
        s.remove(0, 1);
    }
    int base = 10;
    if (s.startsWith(u'$')) {
        base = 16;
        s.remove(0, 1);
    } else if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        s.remove(0, 2);
    }
    if (s.isEmpty() || s.size() > 12)
        return false;
    for (QChar c : s)
        if (!(c.isDigit() || (base == 16 && QStringLiteral("abcdefABCDEF").contains(c))) ||
            c.unicode() > 127)
            return false;
    bool ok = false;
    const qint64 v = s.toLongLong(&ok, base);
    if (!ok)
        return false;
    out = negative ? -v : v;
    return true;
}

} // namespace

bool IsValidPortName(const QString& Value) {
    if (Value.left(3).compare(QLatin1String("COM"), Qt::CaseInsensitive) != 0)
        return false;
    qint64 n = 0;
    if (!parseRuntimeInt(Value.mid(3), n))
        return false;
    return n >= 1 && n <= 255;
}

QString invalidParameterText() {
    return QStringLiteral("Неверно задан параметр!");
}

// ---- TComTransport ----

TComTransport::TComTransport(QObject* AOwner, bool ADesignTime)
    : TAnyTransportCustom(AOwner, ADesignTime) {}

void TComTransport::SetPort(const QString& Value) {
    if (!IsValidPortName(Value)) {
        messageSink()->information(invalidParameterText());
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
    return createPropsFrame(PropsFrameKind::RS232);
}

} // namespace comm
