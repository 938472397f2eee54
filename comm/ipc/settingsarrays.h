// SPDX-License-Identifier: MIT
#pragma once

// Settings arrays: what a component's SendProps gives the server object's SetProps, and the props
// arrays its Props property exchanges with the settings frames of the connection dialog.
// Element indexes; Size is the element count.
namespace comm::ipc {

// clang-format off
// Master to server: IntType, DeviceAddress (qint32), Mode, Parity (quint8), Retries (qint32),
// AdjustToWord, OptimalUseFunction (bool).
struct MasterSettingsArray { static constexpr int IntType = 0, DeviceAddress = 1, Mode = 2, Parity = 3, Retries = 4, AdjustToWord = 5, OptimalUseFunction = 6, Size = 7; };
// A master's props.
struct MasterPropsArray { static constexpr int DeviceAddress = 0, Mode = 1, Parity = 2, Size = 3; };

// Serial transport to server: type (quint8), port name, speed and flow control ordinals
// (quint32), answer delay, byte timeout, retries (qint32).
struct TransportSettingsArray { static constexpr int Type = 0, Port = 1, Speed = 2, FlowControl = 3, AnswerDelay = 4, ByteTimeout = 5, Retries = 6, Size = 7; };
// A serial transport's props: the settings array, then the remote machine's name and whether
// the server runs there.
struct TransportPropsArray : TransportSettingsArray { static constexpr int RemoteMachineName = 7, UseDCOM = 8, Size = 9; };
// Transports other than RS-232 have no flow control: their props from index 3 on.
struct OtherTransportPropsArray { static constexpr int AnswerDelay = 3, ByteTimeout = 4, Retries = 5, LastByteTime = 6; };
// clang-format on

} // namespace comm::ipc
