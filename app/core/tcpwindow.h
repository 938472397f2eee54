// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringView>

#include <optional>

namespace platform {
class IniFile;
}

// The window of record requests a reading keeps in flight on a Modbus TCP endpoint (tcp://): set
// as [Settings] TcpWindow in main.ini or journal-read --tcp-window, "auto" or 1..16. An automatic
// window begins where the last reading of the same endpoint ended, as main.ini's [TcpWindow]
// section remembers it by the endpoint's text ("tcp://10.0.0.5:502=8"). Serial ports and
// rtu+tcp:// endpoints take one request at a time whatever the setting.
namespace core {

inline constexpr int kTcpWindowAuto = 0;
inline constexpr int kTcpWindowMax = 16;

// "auto" (in any letter case, blanks around ignored) as kTcpWindowAuto, or 1..16; nothing else.
std::optional<int> ParseTcpWindow(QStringView text);
// "Окно запросов «32» не подходит: укажите auto или число от 1 до 16".
QString TcpWindowError(const QString& text);

// [Settings] TcpWindow: automatic when the key is missing. A value that is none of the above
// reads as one request at a time, and `error` (may be null) gets the reason.
int ReadTcpWindowSetting(const platform::IniFile& mainIni, QString* error);

// The Modbus TCP endpoint of a device path, as the memory keys it; empty for anything else.
QString ModbusTcpEndpoint(const QString& devicePath);

// How a reading of one port asks for its records.
struct TTcpWindowPlan {
    QString endpoint;    // the Modbus TCP endpoint, empty for a port of one request at a time
    int window = 1;      // what the run asks: 1..16 or kTcpWindowAuto
    int startWindow = 1; // where an automatic window begins
};

// The plan for a reading of `devicePath`: the window `setting`, or main.ini's [Settings]
// TcpWindow without one (a wrong value there is said in `error`, for an endpoint that uses it);
// an automatic window begins where main.ini remembers the endpoint's last reading ended.
TTcpWindowPlan PlanTcpWindow(const QString& mainIniPath, const QString& devicePath,
                             std::optional<int> setting, QString* error);

// Remembers the window a reading of the plan's endpoint reached: that of an automatic window when
// it moved, and 1 after any fallback. False with "Unable to write to <path>" when main.ini cannot
// be written.
[[nodiscard]] bool RememberTcpWindow(const QString& mainIniPath, const TTcpWindowPlan& plan,
                                     int reached, bool fallback, QString* message);

} // namespace core
