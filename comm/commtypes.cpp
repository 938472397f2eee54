// SPDX-License-Identifier: MIT
#include "comm/commtypes.h"

#include <QDebug>

#include <unistd.h>

namespace comm {

namespace {

class LogMessageSink : public platform::IMessageSink {
public:
    void information(const QString& text) override { qWarning().noquote() << text; }
};

} // namespace

platform::IMessageSink& logMessageSink() {
    static LogMessageSink sink;
    return sink;
}

qint32 currentProcessId() {
    return qint32(::getpid());
}

} // namespace comm
