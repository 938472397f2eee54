// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace platform {

// Walks a command line of "--name VALUE", "--name=VALUE" and flags, the way the programs share.
// find(name) gives the option of a name or null; an option whose `value` member is not null
// takes a value (the next argument unless that is an option itself). apply(option, name, value)
// takes it and returns an empty text or why it is wrong. Returns the first error, or an empty
// text when every argument was taken.
template <class Find, class Apply>
QString WalkCommandLine(const QStringList& arguments, Find find, Apply apply) {
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString name = arguments[i];
        std::optional<QString> value;
        if (const qsizetype eq = name.indexOf(u'='); name.startsWith(u"--") && eq > 0) {
            value = name.mid(eq + 1);
            name.truncate(eq);
        }
        const auto* option = find(name);
        if (!option)
            return QStringLiteral("неизвестный параметр «%1»").arg(arguments[i]);
        if (!option->value && value)
            return QStringLiteral("%1 не принимает значения").arg(name);
        if (option->value && !value) {
            if (i + 1 >= arguments.size() || find(arguments[i + 1].section(u'=', 0, 0)))
                return QStringLiteral("у %1 нет значения").arg(name);
            value = arguments[++i];
        }
        if (QString error = apply(*option, name, value.value_or(QString())); !error.isEmpty())
            return error;
    }
    return {};
}

} // namespace platform
