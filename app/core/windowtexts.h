// SPDX-License-Identifier: MIT
#pragma once

#include "app/core/modbuslink.h"

#include <QString>
#include <QStringList>

// Texts of the main window that no reading run writes: the heading rows of its three grids and
// the instrument's name that "Считать версию" shows.
namespace core {

// Row 0 of the linear list: "№", "Время", "Параметр", "Значение до", "Значение новое".
QStringList LinearListHeadings();
// Row 0 of the grouped grid: "Название".
QStringList GroupGridHeadings();
// Row 0 of the record-type grid: "№", "Название", "ID", "Тип данных".
QStringList RecTypeGridHeadings();

// "GetDevName" of the instrument at `devAddr` over an open connection: its name (a length byte
// and windows-1251 text), or the error message of the result code.
QString ReadDeviceName(IModbusLink& library, int devAddr);

// The status line's word on a reading whose Modbus TCP gateway served one request at a time
// (fallback as TRecordRun::fallback; empty for 0).
QString WindowFallbackText(int fallback);
// Two texts of the status line joined by "; ", either may be empty.
QString JoinStatus(const QString& first, const QString& second);

} // namespace core
