// SPDX-License-Identifier: MIT
#pragma once

#include "ombrel/rtuandtcpmaster.h"

#include <QByteArray>
#include <QModbusPdu>

#include <cstdint>

// The access library's calls made on a given master: their argument checks, request building and
// reply unpacking, with the results and buffers of the C entry points (ombreldll.h describes
// them). OmbrelDll.so makes them on its one master; a program that reads many lines links
// masters of its own and makes them on each. The caller keeps each master to one thread at a
// time (the C entry points lock theirs).
namespace ombrel {

inline constexpr int kReplyBufferSize = 256;    // AnyFunction, GetDevName
inline constexpr int kRegisterBufferSize = 252; // ReadInputRegister, ReadHoldingRegister

// A device address a request may carry: 1..247.
bool validAddress(int32_t address);

// Connect: closes the master, then opens COM<port> (through the program's port list) at speed,
// RS-485 mode when the low 8 bits of linkType are OMBREL_LINK_RS485. Empty when it is open, else
// why not, for the user.
QString connectPort(RtuAndTcpMaster& master, int32_t port, int32_t speed, int32_t linkType);

// SetTimeouts: the answer and character time-outs; a network endpoint gets at least as long to
// connect as an answer may take.
void setTimeouts(RtuAndTcpMaster& master, int32_t answerMs, int32_t charMs);

// ReadInputRegister, ReadHoldingRegister (fc says which): count registers (or 32-bit values for
// the 32-bit types) into `out`, least significant byte first.
int32_t readRegisters(RtuAndTcpMaster& master, QModbusPdu::FunctionCode fc, int32_t devAddr,
                      int32_t regAddr, int32_t count, int32_t type, uint8_t* out);

// GetDevName: the device's name (function 17) as a length byte and the name.
int32_t deviceName(RtuAndTcpMaster& master, int32_t devAddr, uint8_t* buffer, int32_t size);

// AnyFunction: the request of function funNumber from the first size bytes of the 256-byte
// buffer, the reply PDU in its place.
int32_t anyFunction(RtuAndTcpMaster& master, int32_t devAddr, int32_t funNumber, int32_t size,
                    uint8_t* buffer);

// The reply PDU of function fn (its data d) into a 256-byte buffer from byte 0, the rest zeroed;
// a reply that does not fit, or a function-65 reply whose byte count disagrees, gives 16.
int32_t unpackReply(int32_t fn, const QByteArray& d, uint8_t* buffer);

} // namespace ombrel
