// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <vector>

struct OmbrelTraceEvent;

namespace core {

class ITraceObserver;

// The access library's trace events as the program's (TFrameEvent), each named by the journal
// record its request asks for. Both links hand the library's callback Forward with this object.
class TLibraryTrace {
public:
    void SetObserver(ITraceObserver* observer) { m_observer = observer; }
    ITraceObserver* observer() const { return m_observer; }
    // The record the next requests ask for (-1: none).
    void SetRecord(std::int64_t record) { m_record = record; }
    // The records of a run with requests in flight (ReadRecords), by their position in it; null
    // after the run.
    void SetRunRecords(const std::vector<std::int64_t>* records) { m_runRecords = records; }

    // The library's observer callback; `user` is the TLibraryTrace.
    static void Forward(const OmbrelTraceEvent* event, void* user);

private:
    ITraceObserver* m_observer = nullptr;
    std::int64_t m_record = -1;      // what the run asks for now
    std::int64_t m_frameRecord = -1; // what the last request traced asked for
    const std::vector<std::int64_t>* m_runRecords = nullptr;
};

} // namespace core
