// SPDX-License-Identifier: MIT
#pragma once

#include "platform/messagesink.h"

#include <QStringList>

// Collects the messages a class under test shows, prefixed with their kind.
class RecordingSink : public platform::IMessageSink {
public:
    void information(const QString& text) override { messages.append("I:" + text); }
    void warning(const QString& text) override { messages.append("W:" + text); }
    void error(const QString& text) override { messages.append("E:" + text); }
    bool question(const QString& text) override {
        messages.append("Q:" + text);
        return answer;
    }

    QStringList messages;
    bool answer = false; // to every question
};
