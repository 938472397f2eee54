#include "app/core/errortexts.h"

#include <array>

namespace core {

QString ErrorText(int code) {
    static const std::array<const char*, 20> kTexts = {
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
    if (code >= 0 && code < static_cast<int>(kTexts.size()))
        return QString::fromUtf8(kTexts[static_cast<std::size_t>(code)]);
    return QString::number(code);
}

QString ErrorMessage(int code) {
    return QStringLiteral("Ошибка (") + ErrorText(code) + QLatin1Char(')');
}

} // namespace core
