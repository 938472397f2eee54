// SPDX-License-Identifier: MIT
#include "app/core/accesslibrary.h"

#include <algorithm>

// One request after another, as a library without runs of requests in flight is asked.
int IAccessLibrary::ReadRecords(int devAddr, TRecordRun& run, const TRecordSink& sink) {
    std::uint8_t reply[256];
    const int count = static_cast<int>(run.requests.size());
    for (int item = 0; item < count; ++item) {
        std::fill(std::begin(reply), std::end(reply), std::uint8_t(0));
        std::copy(run.requests[item].begin(), run.requests[item].end(), reply);
        SetTraceRecord(item < int(run.records.size()) ? run.records[item] : -1);
        const int code = AnyFunction(devAddr, 65, 7, reply);
        SetTraceRecord(-1);
        if (code != 0)
            std::fill(std::begin(reply), std::end(reply), std::uint8_t(0));
        if (!sink(item, code, reply))
            break;
    }
    run.windowReached = 1;
    run.fallback = 0;
    return 0;
}
