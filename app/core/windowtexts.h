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

} // namespace core
