// SPDX-License-Identifier: MIT
#pragma once

#include "platform/messagesink.h"

class QWidget;

namespace gui {

// Messages as modal message boxes over a parent window.
class TMessageBoxSink : public platform::IMessageSink {
public:
    explicit TMessageBoxSink(QWidget* parent) : m_parent(parent) {}

    void information(const QString& text) override;
    void information(const QString& text, const QString& detail) override;
    void warning(const QString& text) override;
    void error(const QString& text) override;
    bool question(const QString& text) override;

private:
    QWidget* m_parent;
};

} // namespace gui
