// SPDX-License-Identifier: MIT
#include "platform/portname.h"

namespace platform {

int comPortNumber(QStringView name) {
    if (name.size() < 4 || name.left(3).compare(u"COM", Qt::CaseInsensitive) != 0)
        return 0;
    int n = 0;
    for (const QChar c : name.mid(3)) {
        if (c < u'0' || c > u'9')
            return 0;
        n = n * 10 + (c.unicode() - u'0');
        if (n > 255)
            return 0;
    }
    return n;
}

QString comPortName(int number) {
    return QStringLiteral("COM") + QString::number(number);
}

} // namespace platform
