// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/journaldata.h"
#include "comm/ipc/speeds.h"
#include "platform/portlist.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <span>
#include <vector>

// What the main window's selectors hold and mean, without widgets: the port selector's items and
// port numbers, the speed selector's baud rate, the journal selector's items and what a device
// selection does to the views; also the version text. journal-read decides the same way.
namespace core {

struct TPortItem {
    QString name;    // "COM3"
    int number = 0;  // platform::comPortNumber(name)
    QString toolTip; // device path and description
};

// Port selector items: the ports' names sorted without regard to letter case (COM10 before COM2).
std::vector<TPortItem> BuildPortItems(const QList<platform::SerialPortEntry>& ports);

// The result of the port selector: a port number for the access library, or a message.
struct TPortChoice {
    int number = 0;
    QString error;
    bool ok() const { return error.isEmpty(); }
};

// Port number of the port selector's state. `itemIndex` and `currentText` are the selector's;
// `items` its item texts and `numbers` their port numbers (same order). The selected item counts
// when the text is its text; typed text naming an item, "COMn" (n = 1..255), the path of an
// existing device or a network endpoint (platform/endpoint.h) is used as typed (a device path or
// an endpoint gets a free port number mapped to it, see platform::PortList::mapDevicePath);
// anything else is an error with a message.
[[nodiscard]] TPortChoice ResolvePortChoice(const QStringList& items,
                                            const std::vector<int>& numbers, int itemIndex,
                                            const QString& currentText, const QString& mainIniPath);

// Baud rates of the speed selector's items.
inline constexpr auto kSpeeds =
    std::span(comm::ipc::kBaudRates).first<comm::ipc::kSpeedItemCount>();

// Baud rate of the speed selector: the rate of the selected item when the text is that item's;
// a typed positive number as typed; 0 when the selector holds neither.
int SelectedSpeedFor(int itemIndex, const QString& currentText);

// Message for a speed selector that gives no baud rate.
QString BadSpeedMessage(const QString& currentText);

// The access library's port number and baud rate from the port and speed selectors, or the
// message that says why they give none.
struct TLinkChoice {
    int port = 0;
    int speed = 0; // SelectedSpeedFor, also when the port gives no number
    QString error;
    bool ok() const { return error.isEmpty(); }
};
[[nodiscard]] TLinkChoice ChooseLink(const TPortChoice& port, int speedItemIndex,
                                     const QString& speedText);

// "a.b.c.d", the program's four-part version.
QString ProgramVersionText();

// Journal selector items of a device: the name, with " (count)" when the count is above 0.
QStringList JournalItems(const TDevInfo& dev);

// What a device's first journal layout does to the views.
struct TDeviceView {
    bool recTypeTabVisible = true;   // "Типы записей" (hidden for text-record layouts)
    bool valueBeforeVisible = false; // "Значение до" with columns 3 and 4 at 108 pixels
};
TDeviceView DeviceViewFor(const TDevInfo& dev);

} // namespace core
