// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringView>

// Port names "COMn": the one rule by which the window, the connection dialog, the transport's
// port check, journal-read and the exchange server read a port name.
namespace platform {

// The number of a port name: "COM" in any letter case followed by decimal digits only (no sign,
// blank, "$" or other character), with a value from 1 to 255. 0 for any other text, so "COM$A",
// "COM1 ", "COM0" and "COM256" name no port. A text box that takes a typed name trims it first.
int comPortNumber(QStringView name);

// "COMn" for a port number.
QString comPortName(int number);

} // namespace platform
