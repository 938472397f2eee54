// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/librarytrace.h"
#include "app/core/modbuslink.h"

#include <memory>

namespace ombrel {
class RtuAndTcpMaster;
}

namespace core {

// A Modbus link of its own: a master of the access library linked into the program, where the
// library's C exports share one connection per process. Many may live at once, one per line,
// each used from the thread that connected it. Its calls answer as the C exports do (the same
// arguments, result codes, buffers and trace events).
class TMasterLink : public IModbusLink {
public:
    TMasterLink();
    ~TMasterLink() override;
    TMasterLink(const TMasterLink&) = delete;
    TMasterLink& operator=(const TMasterLink&) = delete;

    [[nodiscard]] bool Connect(int port, int speed, int linkType) override;
    void Disconnect() override;
    [[nodiscard]] int GetDevName(int devAddr, std::uint8_t* buffer, int size) override;
    [[nodiscard]] int ReadInputRegister(int devAddr, int regAddr, int count, int type,
                                        std::uint8_t* buffer) override;
    [[nodiscard]] int ReadHoldingRegister(int devAddr, int regAddr, int count, int type,
                                          std::uint8_t* buffer) override;
    [[nodiscard]] int AnyFunction(int devAddr, int funNumber, int size,
                                  std::uint8_t* buffer) override;
    void Retries(int retries) override;
    void SetTimeouts(int answerMs, int charMs) override;
    bool SetTraceObserver(ITraceObserver* observer) override;
    void SetTraceRecord(std::int64_t record) override { m_trace.SetRecord(record); }
    void SetListenOut(bool on) override;
    QString LastErrorDetail() const override { return m_error; }

private:
    std::unique_ptr<ombrel::RtuAndTcpMaster> m_master;
    TLibraryTrace m_trace;
    QString m_error; // why the last Connect failed
};

} // namespace core
