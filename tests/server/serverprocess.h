// SPDX-License-Identifier: MIT
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// The exchange server as a child process of a test, with a runtime folder of its own (so its
// socket is private to the test and never meets a user's running server).
namespace fixture {

// The server with the port mapping COM5 = the given device. While it exists, the components of
// the test process find this server (XDG_RUNTIME_DIR) and the server program of the build tree.
class ServerProcess {
public:
    explicit ServerProcess(const QString& com5Device = QString(),
                           const QStringList& extraArgs = {});
    ~ServerProcess();
    bool start(QString* why = nullptr);
    void kill();
    qint64 pid() const { return m_process.processId(); }
    QString runtimeDir() const { return m_runtime.path(); }
    QString socketPath() const {
        return m_runtime.path() + QStringLiteral("/journal/exchange-server.sock");
    }
    QString stderrText();
    QProcess& process() { return m_process; }

private:
    QTemporaryDir m_runtime;
    QProcess m_process;
    QString m_com5;
    QStringList m_extra;
    QByteArray m_oldRuntime;
    QByteArray m_oldPorts;
    QByteArray m_oldProgram;
};

// Program of the exchange server in the build tree.
QString serverProgram();

// Handles events until pred() holds or timeoutMs passes; returns pred().
bool waitFor(const std::function<bool()>& pred, int timeoutMs = 5000);

} // namespace fixture
