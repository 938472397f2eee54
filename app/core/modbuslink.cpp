// SPDX-License-Identifier: MIT
#include "app/core/modbuslink.h"

#include "app/core/journaldata.h"
#include "app/core/recordformat.h"

#include <algorithm>

namespace core {

std::array<std::uint8_t, 7> RecordRequest(int archiveNumber, int recordIndex) {
    return {0,
            ArchiveOnWire(archiveNumber),
            0,
            1,
            0,
            static_cast<std::uint8_t>((recordIndex >> 8) & 0xFF),
            static_cast<std::uint8_t>(recordIndex & 0xFF)};
}

void IModbusLink::ReadRecords(int devAddr, std::span<const TRecordAsk> asks,
                              const TRecordSink& sink) {
    std::uint8_t buffer[kReplySize];
    for (std::size_t item = 0; item < asks.size(); ++item) {
        const TRecordAsk& ask = asks[item];
        std::fill(std::begin(buffer), std::end(buffer), std::uint8_t(0));
        const auto request = RecordRequest(ask.archiveNumber, ask.requestIndex);
        std::copy(request.begin(), request.end(), buffer);
        SetTraceRecord(ask.number);
        const int code = AnyFunction(devAddr, 65, int(request.size()), buffer);
        SetTraceRecord(-1);
        if (!sink(item, code, buffer))
            return;
    }
}

} // namespace core
