// SPDX-License-Identifier: MIT
#pragma once

// Loads the real OmbrelDll.so with dlopen, as the window does, and runs a simulated instrument
// on a pseudo-terminal that the library reaches as COM200 through JOURNAL_PORTS.
#include "ombreldll.h"
#include "tests/simulatorfixture.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <cstdint>
#include <dlfcn.h>
#include <memory>
#include <optional>

struct AccessLibrary {
    void* handle = nullptr;
    int32_t (*Connect)(int32_t, int32_t, int32_t) = nullptr;
    int32_t (*Disconnect)() = nullptr;
    int32_t (*GetDevName)(int32_t, uint8_t*, int32_t) = nullptr;
    int32_t (*Test)(int32_t) = nullptr;
    int32_t (*ReadInputRegister)(int32_t, int32_t, int32_t, int32_t, uint8_t*) = nullptr;
    int32_t (*ReadHoldingRegister)(int32_t, int32_t, int32_t, int32_t, uint8_t*) = nullptr;
    int32_t (*WriteRegister)(int32_t, int32_t, int32_t) = nullptr;
    int32_t (*AnyFunction)(int32_t, int32_t, int32_t, uint8_t*) = nullptr;
    int32_t (*Retries)(int32_t) = nullptr;
    int32_t (*SetTimeouts)(int32_t, int32_t) = nullptr;
    int32_t (*SetTraceObserver)(OmbrelTraceObserver, void*) = nullptr;
    int32_t (*SetListenOut)(int32_t) = nullptr;
    int32_t (*ReadRecords)(int32_t, const uint8_t*, int32_t, OmbrelRecordRun*, OmbrelRecordSink,
                           void*) = nullptr;

    static AccessLibrary& instance() {
        static AccessLibrary lib = load();
        return lib;
    }

private:
    template <typename F> static void bind(void* h, F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(h, name));
    }
    static AccessLibrary load() {
        AccessLibrary l;
        l.handle = dlopen(JOURNAL_BIN_DIR "/OmbrelDll.so", RTLD_NOW | RTLD_LOCAL);
        if (!l.handle)
            return l;
        bind(l.handle, l.Connect, "Connect");
        bind(l.handle, l.Disconnect, "Disconnect");
        bind(l.handle, l.GetDevName, "GetDevName");
        bind(l.handle, l.Test, "Test");
        bind(l.handle, l.ReadInputRegister, "ReadInputRegister");
        bind(l.handle, l.ReadHoldingRegister, "ReadHoldingRegister");
        bind(l.handle, l.WriteRegister, "WriteRegister");
        bind(l.handle, l.AnyFunction, "AnyFunction");
        bind(l.handle, l.Retries, "Retries");
        bind(l.handle, l.SetTimeouts, "SetTimeouts");
        bind(l.handle, l.SetTraceObserver, "SetTraceObserver");
        bind(l.handle, l.SetListenOut, "SetListenOut");
        bind(l.handle, l.ReadRecords, "ReadRecords");
        return l;
    }
};

// Builds the 7-byte record request of the reader into a 256-byte buffer.
inline void recordRequest(uint8_t* buf, int journal, int index) {
    std::fill(buf, buf + 256, uint8_t(0xEE));
    const uint8_t req[7] = {0, uint8_t(journal), 0, 1, 0, uint8_t(index >> 8), uint8_t(index)};
    std::copy(req, req + 7, buf);
}

class AccessLibraryTest : public ::testing::Test {
protected:
    static constexpr int kCom = 200;

    AccessLibrary& lib = AccessLibrary::instance();
    std::unique_ptr<sim::Simulator> simulator;

    void TearDown() override {
        if (lib.Disconnect)
            lib.Disconnect();
        simulator.reset();
    }

    // Starts the instrument (on a pty, or on a loopback endpoint) and connects the library to it
    // with short time-outs.
    void startAndConnect(const sim::Instrument& inst, int baud = 115200,
                         std::optional<platform::NetworkEndpoint::Framing> network = {}) {
        ASSERT_NE(lib.handle, nullptr) << dlerror();
        ASSERT_NE(lib.SetTimeouts, nullptr);
        if (lib.Disconnect)
            lib.Disconnect();
        QString error;
        simulator =
            fixture::StartSimulator(inst, {.com = kCom, .baud = baud, .network = network}, &error);
        ASSERT_TRUE(simulator) << error.toStdString();
        ASSERT_EQ(lib.Connect(kCom, baud, 0), 1);
        lib.Retries(0);
        lib.SetTimeouts(200, 20);
    }
};
