// SPDX-License-Identifier: MIT
#pragma once

// A simulated instrument's journal as it grows between two visits, and what its registers say it
// holds, for the archive's tests.
#include "app/core/journaldata.h"
#include "sim/simulator.h"

#include <vector>

inline int Register(const sim::Instrument& inst, int reference) {
    return reference >= 400001 ? inst.holdingRegisters.value(reference - 400001)
                               : inst.inputRegisters.value(reference - 300001);
}

// What the instrument says its journal holds, as the reader counts it: one past the newest record
// number, and the first number it still holds.
struct Held {
    int maxRec;
    int first;
};

inline bool IsRing(const TJournalInfo& j) {
    return j.Cycle && j.RegOverflow != -1 && j.CountRec > 0;
}

inline Held HeldRecords(const sim::Instrument& inst, const TJournalInfo& j) {
    const int lastIndex = j.typedev == tdPlain2 || j.typedev == tdPlain4 ? 1 : 0;
    const int overflow = IsRing(j) ? Register(inst, j.RegOverflow) : 0;
    const int maxRec = Register(inst, j.Reg) + lastIndex + j.CountRec * overflow;
    return {maxRec, overflow > 0 ? maxRec - j.CountRec : 0};
}

inline int RequestIndex(const TJournalInfo& j, int number) {
    return j.Cycle && j.CountRec > 0 ? number % j.CountRec : number;
}

// Writes `added` records into the journal as the instrument does: numbered on from its newest, a
// ring's at the number's place in the ring; the count registers move on.
inline void Grow(sim::Instrument& inst, const TJournalInfo& j, bool modes, int added) {
    sim::Journal& journal = *inst.journal(j.Num);
    const bool ring = IsRing(j);
    const int total = HeldRecords(inst, j).maxRec;
    for (int x = total; x < total + added; ++x) {
        sim::Journal one{journal.number, journal.layout, QList<QByteArray>(x)};
        sim::Instrument::addSynthetic(one, 1, {1, 2, 3}, modes);
        const int index = ring ? x % j.CountRec : x;
        if (journal.records.size() <= index)
            journal.records.resize(index + 1);
        journal.records[index] = one.records.last();
    }
    const int after = total + added;
    int overflow = ring ? after / j.CountRec : 0;
    int value = (ring ? after % j.CountRec : after) -
                (j.typedev == tdPlain2 || j.typedev == tdPlain4 ? 1 : 0);
    if (value < 0) {
        --overflow;
        value += j.CountRec;
    }
    inst.setRegister(j.Reg, quint16(value));
    if (ring)
        inst.setRegister(j.RegOverflow, quint16(overflow));
}

// The record indexes of the function-65 requests the simulator served, in order.
inline std::vector<int> RecordRequests(const sim::Simulator& simulator) {
    std::vector<int> indexes;
    for (const auto& r : simulator.requestLog())
        if (r.function == 65)
            indexes.push_back(r.record);
    return indexes;
}
