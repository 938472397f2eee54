// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

namespace platform {

// Where the program's message boxes go: the window's and the components' messages alike. The
// window shows them as modal boxes; tests and the headless reader collect them; without a window
// the components write them to the Qt log.
class IMessageSink {
public:
    virtual ~IMessageSink() = default;

    virtual void information(const QString& text) = 0;
    virtual void warning(const QString& text) { information(text); }
    virtual void error(const QString& text) { information(text); }
    // An information message with a second, explanatory text (e.g. the system's reason).
    virtual void information(const QString& text, const QString& detail) {
        information(detail.isEmpty() ? text : text + u'\r' + detail);
    }
    // A yes/no question; true for yes. A sink that cannot ask answers no.
    virtual bool question(const QString& text) {
        Q_UNUSED(text);
        return false;
    }
};

} // namespace platform
