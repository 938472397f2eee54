// SPDX-License-Identifier: MIT
#include "server/modbusext.h"

#include <QString>

#include <atomic>
#include <cstring>
#include <mutex>

namespace server {

void registerJournalFunction() {
    static std::once_flag once;
    std::call_once(once, [] {
        QModbusRequest::registerDataSizeCalculator(
            QModbusPdu::FunctionCode(kJournalFunction),
            [](const QModbusRequest&) { return kJournalRequestSize; });
        // A reply is a byte count and that many bytes. The lookup masks the exception bit, so
        // an exception reply (0xC1 + code) is asked about too: it has one data byte.
        QModbusResponse::registerDataSizeCalculator(QModbusPdu::FunctionCode(kJournalFunction),
                                                    [](const QModbusResponse& r) {
                                                        if (r.isException())
                                                            return 1;
                                                        if (r.data().isEmpty())
                                                            return -1;
                                                        return 1 + int(quint8(r.data().at(0)));
                                                    });
    });
}

namespace {

std::atomic<quint64> g_crcDiscards{0};
QtMessageHandler g_previousHandler = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type == QtWarningMsg && context.category &&
        std::strcmp(context.category, "qt.modbus") == 0 && text.contains(QLatin1String("CRC")))
        ++g_crcDiscards;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

} // namespace

void watchCrcDiscards() {
    static std::once_flag once;
    std::call_once(once, [] { g_previousHandler = qInstallMessageHandler(countingHandler); });
}

quint64 crcDiscards() {
    return g_crcDiscards.load();
}

} // namespace server
