// SPDX-License-Identifier: MIT
#include "app/core/errortexts.h"

#include "comm/ipc/resultcodes.h"

namespace core {

QString ErrorText(int code) {
    if (const char* text = comm::ipc::resultText(code))
        return QString::fromUtf8(text);
    return QString::number(code);
}

QString ErrorMessage(int code) {
    return QStringLiteral("Ошибка (") + ErrorText(code) + QLatin1Char(')');
}

} // namespace core
