// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <stdexcept>

namespace comm {

// An error of a server call (server unreachable or gone, call refused, bad arguments, a value
// that cannot travel). The exchange server refuses a request with it; on the client's side it
// reaches the caller of the component operation that made the call.
class ServerError : public std::runtime_error {
public:
    explicit ServerError(const QString& message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    QString message() const { return m_message; }

private:
    QString m_message;
};

} // namespace comm
