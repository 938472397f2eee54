// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "app/core/modbuslink.h"

#include <QString>

#include <chrono>
#include <functional>
#include <vector>

// The search for an instrument whose address or speed nobody remembers: every speed of a list
// (the current one first) and every address of a range is asked once, with a short answer time,
// until an instrument answers (or, asked for all, to the end).
namespace core {

struct TSearchRequest {
    int port = 0;
    int linkType = 0;
    std::vector<int> speeds; // in the order they are tried
    int firstAddress = 1;
    int lastAddress = 247;
    bool all = false; // go on after the first answer, listing every answering address
    // What is asked: the count register of the selected journal (300001.. input, 400001..
    // holding), or the device name (function 17) when the journal has none (0).
    int countRegister = 0;
    // The answer time a try waits at `speed` for the first byte of an answer: the request's wire
    // time with two characters to spare and 25 ms for the instrument, at least 30 ms (an answer
    // that has begun is read to its end by the library however long it takes).
    static int AnswerMs(int speed);
};

struct TSearchHit {
    int address = 0;
    int speed = 0;
};

struct TSearchResult {
    std::vector<TSearchHit> found;
    bool stopped = false;
    QString error; // a port that could not be opened, in the user's words; empty otherwise
    int tries = 0;

    // "Прибор найден: адрес 5, скорость 9600" (each hit on a line of its own), "Прибор не
    // найден", or the error.
    QString Text() const;
};

// The speeds a search tries: `current` first, then the speed selector's others in its order.
std::vector<int> SearchSpeeds(int current);

// The search of the whole address range over `port` (speeds as SearchSpeeds(speed)), asking the
// count register of `journal` when it has one in the input or holding registers.
TSearchRequest SearchRequestFor(int port, int linkType, int speed, const TJournalInfo* journal);

// Where a search stands after `done` tries: the speed and address it asks next (the last ones
// once all are done) and the most the tries left may take.
struct TSearchPosition {
    int speed = 0;
    int address = 0;
    std::chrono::milliseconds left{0};
};
TSearchPosition SearchPositionAt(const TSearchRequest& request, int done);

// Progress of a search: tries done of the whole; returns true to stop the search.
using TSearchProgress = std::function<bool(int done, int total)>;

class TInstrumentSearch {
public:
    explicit TInstrumentSearch(IModbusLink& library) : m_lib(library) {}

    // The most a whole sweep of `request` without an answer may take: every try waits its answer
    // time and the silence before its request, with 10 ms for the program and the port.
    static std::chrono::milliseconds Bound(const TSearchRequest& request);

    // Runs the search; the library's answer time, retries and listening are restored to
    // `answerMs`, `retries` and on afterwards, and the port is left closed.
    TSearchResult Run(const TSearchRequest& request, const TSearchProgress& progress, int answerMs,
                      int retries);

private:
    // Asks `address` once; true when an instrument answered (an exception is an answer too).
    bool Ask(const TSearchRequest& request, int address);

    IModbusLink& m_lib;
};

} // namespace core
