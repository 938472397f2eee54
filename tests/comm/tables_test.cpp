// SPDX-License-Identifier: MIT
// The shared tables against the values their peers fix: the numbers on the wire and in the access
// library's results, the texts the user reads, and the catalogue's value type codes.
#include "app/core/journaldata.h"
#include "comm/ipc/datatypes.h"
#include "comm/ipc/resultcodes.h"
#include "comm/ipc/speeds.h"
#include "comm/ipc/taskarrays.h"

#include <QString>

#include <gtest/gtest.h>

#include <vector>

using namespace comm::ipc;

TEST(SharedTables, EnumeratorsInWireOrder) {
    // Each list names the codes in the order of their numbers, from 0.
    const std::vector<int> lists[] = {
        {rcOk,          rcNoAnswer,       rcCrc,         rcChannelClosed, rcIllegalFunction,
         rcIllegalData, rcAccess,         rcAcknowledge, rcBusy,          rcCannotExecute,
         rcParity,      rcIllegalAddress, rcBadAddress,  rcBadFunction,   rcUnknown,
         rcBadDataType, rcLengthMismatch, rcBadFloat,    rcNoTransport,   rcTimeMismatch},
        {opExchange, opGetDeviceName, opReadHoldRegs, opWriteHoldRegs, opReadInputRegs,
         opReadHoldBins, opWriteHoldBins, opReadInputBins, opReadTimeArch, opReadIndexArch,
         opReadStatus, opDiagnostics, opReadTimeArchEx},
        {comm::cts1200, comm::cts2400, comm::cts4800, comm::cts9600, comm::cts19200, comm::cts38400,
         comm::cts57600, comm::cts115200, comm::cts600},
    };
    for (const auto& list : lists)
        for (int i = 0; i < int(list.size()); ++i)
            EXPECT_EQ(list[std::size_t(i)], i) << "list starting " << list.front();
}

TEST(SharedTables, ValuesTheirPeersFix) {
    const auto text = [](qint32 code) {
        const char* t = resultText(code);
        return t ? QString::fromUtf8(t) : QStringLiteral("-");
    };
    const struct {
        const char* what;
        QVariant value;
        QVariant expected;
    } cases[] = {
        {"text of 0", text(rcOk), QStringLiteral("Команда выполнена успешно")},
        {"text of 12", text(rcBadAddress), QStringLiteral("Ошибочный адрес")},
        {"text of 18", text(rcNoTransport),
         QStringLiteral("Не задан транспорт или текущий транспорт отключен")},
        {"text of 19", text(rcTimeMismatch),
         QStringLiteral("Метка времени в архивной записи не совпадает с запрошенной")},
        {"text of 20", text(20), QStringLiteral("-")},
        {"text of -1", text(-1), QStringLiteral("-")},
        {"exception 2", resultForException(2), 12},
        {"exception 11", resultForException(11), 14},
        {"rates", QVariantList(kBaudRates.begin(), kBaudRates.end()),
         QVariantList{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 600}},
        {"ordinal 9", baudRateOf(9), 0},
        {"ordinal -1", baudRateOf(-1), 0},
        {"speed items", kSpeedItemCount, 8},
        // The access library's type argument is a catalogue value type code.
        {"catalogue codes",
         QVariantList{dtSWord, dtSLongWord, dtFloat, dtSByte, dtUByte, dtUWord, dtLongWord},
         QVariantList{vtI2, vtI4, vtR4, vtI1, vtUI1, vtUI2, vtUI4}},
        {"type codes", QVariantList{vtI2, vtI4, vtR4, vtBStr, vtUI2, vtUI4},
         QVariantList{2, 3, 4, 8, 18, 19}},
        {"type sizes",
         QVariantList{varTypeSize(vtUI1), varTypeSize(vtBool), varTypeSize(vtInt),
                      varTypeSize(vtR8), varTypeSize(vtBStr), varTypeSize(6)},
         QVariantList{1, 2, 4, 8, -1, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value, c.expected) << c.what;
}
