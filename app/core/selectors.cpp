// SPDX-License-Identifier: MIT
#include "app/core/selectors.h"

#include "platform/endpoint.h"
#include "platform/inifile.h"
#include "platform/portname.h"
#include "platform/version.h"

#include <QFileInfo>

#include <algorithm>

namespace core {

std::vector<TPortItem> BuildPortItems(const QList<platform::SerialPortEntry>& ports) {
    std::vector<TPortItem> items;
    items.reserve(static_cast<std::size_t>(ports.size()));
    for (const platform::SerialPortEntry& p : ports) {
        QString tip = p.devicePath;
        if (!p.description.isEmpty())
            tip += QStringLiteral(" — ") + p.description;
        items.push_back({p.name, platform::comPortNumber(p.name), tip});
    }
    std::stable_sort(items.begin(), items.end(), [](const TPortItem& a, const TPortItem& b) {
        return a.name.compare(b.name, Qt::CaseInsensitive) < 0;
    });
    return items;
}

TPortChoice ResolvePortChoice(const QStringList& items, const std::vector<int>& numbers,
                              int itemIndex, const QString& currentText,
                              const QString& mainIniPath) {
    const auto numberAt = [&](qsizetype i) {
        return i >= 0 && static_cast<std::size_t>(i) < numbers.size()
                   ? numbers[static_cast<std::size_t>(i)]
                   : 0;
    };
    if (itemIndex >= 0 && itemIndex < items.size() && items[itemIndex] == currentText &&
        numberAt(itemIndex) > 0)
        return {numberAt(itemIndex), {}};

    const QString typed = currentText.trimmed();
    if (typed.isEmpty())
        return {0, QStringLiteral("Не выбран порт.")};
    const qsizetype item = items.indexOf(typed);
    if (item >= 0 && numberAt(item) > 0)
        return {numberAt(item), {}};
    if (const int n = platform::comPortNumber(typed))
        return {n, {}};
    if (typed.startsWith(u'/')) {
        if (!QFileInfo::exists(typed))
            return {0, QStringLiteral("Устройство %1 не найдено.").arg(typed)};
        if (const int n = platform::PortList::mapDevicePath(typed, mainIniPath))
            return {n, {}};
        return {0, QStringLiteral("Нет свободного номера порта для устройства %1.").arg(typed)};
    }
    if (platform::isNetworkEndpoint(typed)) {
        QString why;
        const auto endpoint = platform::parseNetworkEndpoint(typed, &why);
        if (!endpoint)
            return {0, why};
        if (const int n = platform::PortList::mapDevicePath(endpoint->text(), mainIniPath))
            return {n, {}};
        return {0, QStringLiteral("Нет свободного номера порта для адреса %1.").arg(typed)};
    }
    return {0, QStringLiteral("Порт «%1» не найден. Выберите порт из списка или введите имя "
                              "вида COM5, путь к устройству (например, /dev/ttyUSB0) либо "
                              "сетевой адрес (tcp://УЗЕЛ[:ПОРТ], rtu+tcp://УЗЕЛ:ПОРТ).")
                   .arg(typed)};
}

int SelectedSpeedFor(int itemIndex, const QString& currentText) {
    constexpr int count = static_cast<int>(std::size(kSpeeds));
    if (itemIndex >= 0 && itemIndex < count &&
        currentText.trimmed() == QString::number(kSpeeds[itemIndex]))
        return kSpeeds[itemIndex];
    const auto typed = platform::parseIniInteger(currentText.trimmed());
    return typed && *typed > 0 ? *typed : 0;
}

QString BadSpeedMessage(const QString& currentText) {
    return QStringLiteral("Недопустимая скорость обмена «%1».").arg(currentText);
}

TLinkChoice ChooseLink(const TPortChoice& port, int speedItemIndex, const QString& speedText) {
    TLinkChoice link;
    link.speed = SelectedSpeedFor(speedItemIndex, speedText);
    if (!port.ok())
        link.error = port.error;
    else if (link.speed <= 0)
        link.error = BadSpeedMessage(speedText);
    else
        link.port = port.number;
    return link;
}

QString ProgramVersionText() {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(platform::kVersionMajor)
        .arg(platform::kVersionMinor)
        .arg(platform::kVersionPatch)
        .arg(platform::kVersionTweak);
}

QStringList JournalItems(const TDevInfo& dev) {
    QStringList items;
    for (int j = 0; j < std::min(dev.CountJournals, kMaxJournals); ++j) {
        const TJournalInfo& J = dev.Journal[static_cast<std::size_t>(j)];
        // Concatenated, not .arg(): a name may itself hold "%1".
        items.append(J.CountRec <= 0
                         ? J.Name
                         : J.Name + QStringLiteral(" (") + QString::number(J.CountRec) + u')');
    }
    return items;
}

TDeviceView DeviceViewFor(const TDevInfo& dev) {
    const TTypeDev t = dev.Journal[0].typedev;
    TDeviceView v;
    v.recTypeTabVisible = t != tdMarlo && t != tdQuint;
    v.valueBeforeVisible = t == tdMarlo || t == tdPlain3 || t == tdPlain4 || t == tdQuint;
    return v;
}

} // namespace core
