// SPDX-License-Identifier: MIT
#include "server/modbusext.h"

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

} // namespace server
