// SPDX-License-Identifier: MIT
#include "app/core/tcpwindow.h"

#include "app/core/catalogue.h"
#include "platform/endpoint.h"
#include "platform/inifile.h"

#include <algorithm>

namespace core {
namespace {

constexpr char16_t kSettings[] = u"Settings";
constexpr char16_t kMemory[] = u"TcpWindow";

} // namespace

std::optional<int> ParseTcpWindow(QStringView text) {
    const QStringView t = text.trimmed();
    if (t.compare(u"auto", Qt::CaseInsensitive) == 0)
        return kTcpWindowAuto;
    // Plain decimal digits only: "0x4" or "+4" are no window a user means.
    if (t.isEmpty() || t.size() > 2 ||
        !std::all_of(t.begin(), t.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    const int n = t.toInt();
    if (n < 1 || n > kTcpWindowMax)
        return std::nullopt;
    return n;
}

QString TcpWindowError(const QString& text) {
    return QStringLiteral("Окно запросов «%1» не подходит: укажите auto или число от 1 до %2")
        .arg(text)
        .arg(kTcpWindowMax);
}

int ReadTcpWindowSetting(const platform::IniFile& mainIni, QString* error) {
    const std::optional<QStringView> text = mainIni.value(kSettings, u"TcpWindow");
    if (!text)
        return kTcpWindowAuto;
    if (const std::optional<int> window = ParseTcpWindow(*text))
        return *window;
    if (error)
        *error = QStringLiteral("main.ini, [Settings] TcpWindow: ") +
                 TcpWindowError(text->toString()) + QStringLiteral("; читается по одному запросу");
    return 1;
}

QString ModbusTcpEndpoint(const QString& devicePath) {
    const auto endpoint = platform::parseNetworkEndpoint(devicePath);
    return endpoint && endpoint->framing == platform::NetworkEndpoint::Framing::ModbusTcp
               ? endpoint->text()
               : QString();
}

TTcpWindowPlan PlanTcpWindow(const QString& mainIniPath, const QString& devicePath,
                             std::optional<int> setting, QString* error) {
    TTcpWindowPlan plan;
    plan.endpoint = ModbusTcpEndpoint(devicePath);
    if (plan.endpoint.isEmpty())
        return plan;
    platform::IniFile ini;
    ini.read(mainIniPath);
    plan.window = setting ? *setting : ReadTcpWindowSetting(ini, error);
    if (plan.window == kTcpWindowAuto) {
        const auto remembered = ini.value(kMemory, plan.endpoint);
        const auto n = remembered ? ParseTcpWindow(*remembered) : std::nullopt;
        plan.startWindow = n && *n != kTcpWindowAuto ? *n : 1;
    }
    return plan;
}

bool RememberTcpWindow(const QString& mainIniPath, const TTcpWindowPlan& plan, int reached,
                       bool fallback, QString* message) {
    const bool moved = plan.window == kTcpWindowAuto && reached != plan.startWindow;
    if (plan.endpoint.isEmpty() || !(moved || fallback))
        return true;
    if (fallback)
        reached = 1;
    return UpdateMainIni(
        mainIniPath,
        [&](platform::IniFile& ini) {
            ini.writeInteger(kMemory, plan.endpoint, std::clamp(reached, 1, kTcpWindowMax));
        },
        message);
}

} // namespace core
