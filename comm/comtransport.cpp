#include "comm/comtransport.h"

#include "comm/propsframes.h"

#include <array>

namespace comm {

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

qint32 toInt(const QVariant& v, const char* what) {
    bool ok = false;
    const qint32 x = v.toInt(&ok);
    if (!ok)
        throw EConvertError(QStringLiteral("'%1' is not a valid integer value (%2)")
                                .arg(v.toString(), QLatin1String(what)));
    return x;
}

} // namespace

qint32 baudRateOf(qint32 speedOrdinal) {
    static constexpr std::array<qint32, 9> kRates = {1200,  2400,  4800,   9600, 19200,
                                                     38400, 57600, 115200, 600};
    return speedOrdinal >= 0 && speedOrdinal < qint32(kRates.size()) ? kRates[speedOrdinal] : 0;
}

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
    FPort = Value;
    SendProps();
}

void TComTransport::SetSpeed(TComTransportSpeed Value) {
    FSpeed = Value;
    SendProps();
}

void TComTransport::SetAnswerDelay(qint32 Value) {
    FAnswerDelay = Value;
    SendProps();
}

void TComTransport::SetRetries(qint32 Value) {
    FRetries = Value;
    SendProps();
}

void TComTransport::SetByteTimeout(qint32 Value) {
    FByteTimeout = Value;
    SendProps();
}

void TComTransport::SetFlowControl(TComFlowContol Value) {
    FFlowControl = Value;
    SendProps();
}

// ---- TRS232Transport ----

TRS232Transport::TRS232Transport(QObject* AOwner, bool ADesignTime)
    : TComTransport(AOwner, ADesignTime) {
    FDisplayName = QStringLiteral("RS232");
    FTransportType = ttRS232;
}

QVariantList TRS232Transport::ServerSettingsArray() const {
    return {QVariant::fromValue(quint8(FTransportType)), QVariant(FPort),
            QVariant::fromValue(quint32(FSpeed)),        QVariant::fromValue(quint32(FFlowControl)),
            QVariant::fromValue(qint32(FAnswerDelay)),   QVariant::fromValue(qint32(FByteTimeout)),
            QVariant::fromValue(qint32(FRetries))};
}

void TRS232Transport::SendProps() {
    if (FDesignTime || !FAT || FUpdating)
        return;
    FAT->SetProps(ServerSettingsArray());
}

QVariant TRS232Transport::GetProps() {
    return QVariantList{QVariant::fromValue(quint8(FTransportType)),
                        QVariant(FPort),
                        QVariant::fromValue(quint8(FSpeed)),
                        QVariant::fromValue(quint8(FFlowControl)),
                        QVariant::fromValue(qint32(FAnswerDelay)),
                        QVariant::fromValue(qint32(FByteTimeout)),
                        QVariant::fromValue(qint32(FRetries)),
                        QVariant(FRemoteMachineName),
                        QVariant(FUseDCOM)};
}

void TRS232Transport::SetProps(const QVariant& Value) {
    const QVariantList p = Value.toList();
    BeginUpdate();
    try {
        if (p.size() < 9)
            throw EConvertError(QStringLiteral("the settings array needs 9 elements"));
        FPort = p[1].toString();
        FSpeed = TComTransportSpeed(toInt(p[2], "Speed"));
        FFlowControl = TComFlowContol(toInt(p[3], "FlowControl"));
        FAnswerDelay = toInt(p[4], "AnswerDelay");
        FByteTimeout = toInt(p[5], "ByteTimeout");
        FRetries = toInt(p[6], "Retries");
        SetRemoteMachineName(p[7].toString());
        SetUseDCOM(p[8].toBool());
    } catch (...) {
        EndUpdate();
        throw;
    }
    EndUpdate();
}

TBasePropsFrame* TRS232Transport::CreatePropsFrame() {
    return createPropsFrame(PropsFrameKind::RS232);
}

} // namespace comm
