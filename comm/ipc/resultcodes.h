// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

#include <array>

// The result codes that the access library returns from its entry points and the exchange
// server puts in its answers (0 = success), with the text the program shows for each. Code
// numbers are fixed by the library's callers and by the server's clients: never renumber.
namespace comm::ipc {

enum ResultCode : qint32 {
    rcOk,              // 0
    rcNoAnswer,        // 1
    rcCrc,             // 2
    rcChannelClosed,   // 3 the request cannot be sent
    rcIllegalFunction, // 4 exception 1
    rcIllegalData,     // 5 exception 3, or arguments the request cannot carry
    rcAccess,          // 6
    rcAcknowledge,     // 7 exception 5: a long operation has started
    rcBusy,            // 8 exception 6
    rcCannotExecute,   // 9 exception 4
    rcParity,          // 10
    rcIllegalAddress,  // 11 a device address outside 1..247 (access library)
    rcBadAddress,      // 12 exception 2; a device address outside 0..247 (server)
    rcBadFunction,     // 13
    rcUnknown,         // 14
    rcBadDataType,     // 15
    rcLengthMismatch,  // 16
    rcBadFloat,        // 17
    rcNoTransport,     // 18 the master has no server object or no open channel
    rcTimeMismatch,    // 19
};

// Texts of the codes 0 to 19, in code order (UTF-8).
inline constexpr std::array<const char*, 20> kResultTexts = {
    "Команда выполнена успешно",
    "Прибор не отвечает",
    "Ошибка контрольной суммы",
    "Канал закрыт (не удается отправить запрос)",
    "Функция не поддерживается прибором",
    "Недопустимые данные",
    "Ошибка доступа",
    "Начало долговременной операции",
    "Прибор занят",
    "Функция не может быть выполнена",
    "Ошибка четности",
    "Недопустимый ModBus-адрес",
    "Ошибочный адрес",
    "Ошибочный номер функции",
    "Неизвестная ошибка",
    "Неверный тип данных",
    "Длина ответа не соответствует длине запроса",
    "Недопустимое значение для float",
    "Не задан транспорт или текущий транспорт отключен",
    "Метка времени в архивной записи не совпадает с запрошенной",
};
static_assert(kResultTexts.size() == rcTimeMismatch + 1);

// Text of a code from the table; nullptr for a code outside it.
[[nodiscard]] constexpr const char* resultText(qint32 code) {
    return code >= 0 && code < qint32(kResultTexts.size()) ? kResultTexts[std::size_t(code)]
                                                           : nullptr;
}

// Result code of a Modbus exception reply, by its exception code.
[[nodiscard]] constexpr ResultCode resultForException(int exceptionCode) {
    switch (exceptionCode) {
    case 0x01:
        return rcIllegalFunction;
    case 0x02:
        return rcBadAddress;
    case 0x03:
        return rcIllegalData;
    case 0x04:
        return rcCannotExecute;
    case 0x05:
        return rcAcknowledge;
    case 0x06:
        return rcBusy;
    default:
        return rcUnknown;
    }
}

} // namespace comm::ipc
