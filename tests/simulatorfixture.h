// SPDX-License-Identifier: MIT
#pragma once

// The instrument simulator as the tests and benchmarks that talk to one start it: on its
// pseudo-terminal link (or on a loopback network endpoint) and, when asked, reachable as COMn
// through JOURNAL_PORTS (then the only mapping), the way the access library, journal-read and the
// window find their ports.
#include "platform/portlist.h"
#include "sim/simulator.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace fixture {

struct SimulatorSetup {
    int com = 0;                // JOURNAL_PORTS names the simulator's port COM<com>; 0: no mapping
    int baud = 0;               // the server's baud rate; 0: the simulator's default
    int pacing = 0;             // bytes paced at this baud rate; 0: no pacing
    QList<sim::Fault> faults{}; // added to the instrument's own
    // Served on a loopback endpoint of this kind instead of the pty.
    std::optional<platform::NetworkEndpoint::Framing> network{};
    sim::GatewayModel gateway = sim::GatewayModel::None; // in front of a Modbus TCP endpoint
    int latency = 0;                                     // ms a network packet takes each way
};

// Starts `instrument` as `setup` says; null, with the reason in `error`, when it cannot start.
inline std::unique_ptr<sim::Simulator> StartSimulator(const sim::Instrument& instrument,
                                                      const SimulatorSetup& setup = {},
                                                      QString* error = nullptr) {
    auto simulator = std::make_unique<sim::Simulator>(instrument);
    if (setup.baud > 0)
        simulator->setBaudRate(setup.baud);
    if (setup.pacing > 0)
        simulator->setPacing(setup.pacing);
    for (const sim::Fault& fault : setup.faults)
        simulator->addFault(fault);
    simulator->setGateway(setup.gateway);
    simulator->setLatency(setup.latency);
    const bool started =
        setup.network ? simulator->startNetwork(*setup.network, QHostAddress::LocalHost, 0, error)
                      : simulator->start(error);
    if (!started)
        return nullptr;
    if (setup.com > 0)
        qputenv("JOURNAL_PORTS",
                QStringLiteral("COM%1=%2").arg(setup.com).arg(simulator->clientPath()).toUtf8());
    return simulator;
}

// The instrument of the content file sim/content/<name>.sim of the source tree.
inline std::optional<sim::Instrument> ContentInstrument(const QString& name,
                                                        QString* error = nullptr) {
    return sim::Instrument::fromFile(
        QStringLiteral(JOURNAL_SOURCE_DIR "/sim/content/%1.sim").arg(name), error);
}

// The port list of a window whose only port is the simulator's COM<com>.
inline QList<platform::SerialPortEntry> SimulatedPortList(int com, const QString& devicePath = {}) {
    platform::SerialPortEntry e;
    e.name = QStringLiteral("COM%1").arg(com);
    e.number = com;
    e.devicePath = devicePath;
    return {e};
}

} // namespace fixture
