// SPDX-License-Identifier: MIT
#include "app/core/librarytrace.h"

#include "app/core/linetrace.h"
#include "ombreldll.h"

#include <algorithm>
#include <cstddef>

namespace core {

// Its bytes are copied, since they live only during the call. Fields past the library's own size
// stay at their defaults. Bytes dropped after a request belong to that request's record, also
// when they are dropped just before the next record's request.
void TLibraryTrace::Forward(const OmbrelTraceEvent* e, void* user) {
    auto* self = static_cast<TLibraryTrace*>(user);
    if (!e || !self->m_observer || e->size < int32_t(offsetof(OmbrelTraceEvent, baud)))
        return;
    TFrameEvent f;
    f.kind = static_cast<TFrameKind>(std::clamp(e->kind, 0, 5));
    f.timeUs = e->timeUs;
    f.elapsedUs = e->elapsedUs;
    if (e->bytes && e->length > 0)
        f.bytes = QByteArray(reinterpret_cast<const char*>(e->bytes), e->length);
    f.flags = e->flags;
    f.address = e->address;
    f.function = e->function;
    f.exception = e->exception;
    f.attempt = e->attempt;
    f.answerMs = e->answerMs;
    f.offset = e->offset;
    const auto has = [e](std::size_t end) { return e->size >= int32_t(end); };
    if (has(offsetof(OmbrelTraceEvent, baud) + sizeof(e->baud)))
        f.baud = e->baud;
    if (has(offsetof(OmbrelTraceEvent, omitted) + sizeof(e->omitted)))
        f.omitted = e->omitted;
    if (has(offsetof(OmbrelTraceEvent, link) + sizeof(e->link)))
        f.link = static_cast<TTraceLink>(std::clamp(e->link, 0, 2));
    if (f.kind == TFrameKind::Request)
        self->m_frameRecord = self->m_record;
    f.record = self->m_frameRecord;
    if (has(offsetof(OmbrelTraceEvent, item) + sizeof(e->item))) {
        f.window = e->window;
        f.inFlight = e->inFlight;
        // In a run with requests in flight each event names its record by its position.
        if (const auto* records = self->m_runRecords)
            f.record =
                e->item >= 0 && e->item < qsizetype(records->size()) ? (*records)[e->item] : -1;
    }
    self->m_observer->OnFrame(f);
}

} // namespace core
