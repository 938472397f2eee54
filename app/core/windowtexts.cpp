// SPDX-License-Identifier: MIT
#include "app/core/windowtexts.h"

#include "app/core/errortexts.h"
#include "platform/codepage.h"

#include <QByteArrayView>

#include <cstdint>

namespace core {

QStringList LinearListHeadings() {
    return {QStringLiteral("№"), QStringLiteral("Время"), QStringLiteral("Параметр"),
            QStringLiteral("Значение до"), QStringLiteral("Значение новое")};
}

QStringList GroupGridHeadings() {
    return {QStringLiteral("Название")};
}

QStringList RecTypeGridHeadings() {
    return {QStringLiteral("№"), QStringLiteral("Название"), QStringLiteral("ID"),
            QStringLiteral("Тип данных")};
}

QString ReadDeviceName(IModbusLink& library, int devAddr) {
    std::uint8_t buffer[256] = {};
    const int result = library.GetDevName(devAddr, buffer, 255);
    if (result != 0)
        return ErrorMessage(result);
    return platform::fromCp1251(
        QByteArrayView(reinterpret_cast<const char*>(buffer + 1), buffer[0]));
}

QString WindowFallbackText(int fallback) {
    if (fallback == 0)
        return {};
    return fallback == 2 ? QStringLiteral("Шлюз закрыл соединение при втором запросе: чтение по "
                                          "одному запросу")
                         : QStringLiteral("Шлюз отвечает только на один запрос за раз: чтение по "
                                          "одному запросу");
}

QString JoinStatus(const QString& first, const QString& second) {
    if (first.isEmpty() || second.isEmpty())
        return first + second;
    return first + QStringLiteral("; ") + second;
}

} // namespace core
