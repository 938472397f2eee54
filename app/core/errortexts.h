// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Texts of the integer result codes that the access library and the exchange server return.
namespace core {

// Text of a result code: the table entry for 0 to 19, the code in decimal otherwise.
QString ErrorText(int code);

// "Ошибка (" + ErrorText(code) + ")", the form in which failures are shown.
QString ErrorMessage(int code);

} // namespace core
