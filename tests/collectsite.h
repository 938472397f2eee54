// SPDX-License-Identifier: MIT
#pragma once

// Simulated sites for the collector's tests and benchmark: instruments of the sample device
// ("Регулятор РТ-10", journal 1) at addresses 1.. behind a queueing Modbus TCP gateway, each
// journal of its own (its records carry the instrument's ID, so that no two agree), and the
// instrument list that names them.
#include "sim/simulator.h"

#include <QFile>
#include <QString>

#include <memory>
#include <vector>

namespace fixture {

// Record x of the instrument with ID `id`.
inline QByteArray SiteRecord(int id, int x) {
    return sim::Instrument::fixedRecord(sim::Layout::Plain, quint32(1600000000 + 60 * x),
                                        quint16(id), quint32(x));
}

// The ID the records of a stored answer (function code, byte count, record) carry.
inline int SiteRecordId(const QByteArray& answer) {
    return (quint8(answer[6]) << 8) | quint8(answer[7]);
}

// Instrument `address` of site `site` (its ID 100 * site + address) with `records` records.
inline sim::Instrument SiteInstrument(int site, int address, int records) {
    sim::Instrument i;
    i.address = address;
    sim::Journal& journal = i.addJournal(1, sim::Layout::Plain);
    for (int x = 0; x < records; ++x)
        journal.records << SiteRecord(100 * site + address, x);
    i.setRegister(300001, quint16(records));
    return i;
}

// Site `site` (from 1): `count` instruments behind a gateway to a line at `baud`, each packet
// delayed by `latencyMs` on the network; null when it cannot start.
inline std::unique_ptr<sim::Simulator> StartSite(int site, int count, int records, int baud = 19200,
                                                 int latencyMs = 0) {
    QList<sim::Instrument> instruments;
    for (int a = 1; a <= count; ++a)
        instruments << SiteInstrument(site, a, records);
    auto simulator = std::make_unique<sim::Simulator>(instruments);
    simulator->setGateway(sim::GatewayModel::Queue);
    simulator->setBaudRate(baud);
    simulator->setLatency(latencyMs);
    if (!simulator->startNetwork(platform::NetworkEndpoint::Framing::ModbusTcp,
                                 QHostAddress::LocalHost, 0))
        return nullptr;
    return simulator;
}

// The instrument at `address` of site `site` writes `added` records more.
inline void GrowSite(sim::Simulator& simulator, int site, int address, int added) {
    simulator.updateInstrument(address, [&](sim::Instrument& i) {
        sim::Journal& journal = *i.journal(1);
        for (int k = 0; k < added; ++k)
            journal.records << SiteRecord(100 * site + address, int(journal.records.size()));
        i.setRegister(300001, quint16(journal.records.size()));
    });
}

struct SiteEntry {
    QString name;
    QString port;
    int address;
};

// Writes the list (UTF-8 with a byte-order mark): journal 1 of each entry every `every`,
// answering within 300 ms, one retry. False when it cannot be written.
inline bool WriteSiteList(const QString& path, const std::vector<SiteEntry>& entries,
                          const QString& every) {
    QString text;
    for (const SiteEntry& e : entries)
        text += QStringLiteral("[%1]\r\nPort=%2\r\nAddress=%3\r\nDevice=1\r\nJournals=1\r\n"
                               "Every=%4\r\nAnswerTime=300\r\nRetries=1\r\n\r\n")
                    .arg(e.name, e.port, QString::number(e.address), every);
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write("\xEF\xBB\xBF" + text.toUtf8()) > 0;
}

} // namespace fixture
