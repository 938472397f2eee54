// SPDX-License-Identifier: MIT
#include "serverprocess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QLocalSocket>
#include <QProcessEnvironment>
#include <QThread>

namespace fixture {

// ---- ServerProcess ----

QString serverProgram() {
    return QStringLiteral(JOURNAL_BIN_DIR "/journal-exchange-server");
}

ServerProcess::ServerProcess(const QString& com5Device, const QStringList& extraArgs)
    : m_com5(com5Device), m_extra(extraArgs) {
    // The components of this test process find the server through the same runtime folder.
    m_oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    m_oldPorts = qgetenv("JOURNAL_PORTS");
    m_oldProgram = qgetenv("JOURNAL_EXCHANGE_SERVER");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    if (!m_com5.isEmpty())
        qputenv("JOURNAL_PORTS", ("COM5=" + m_com5).toLocal8Bit());
    qputenv("JOURNAL_EXCHANGE_SERVER", QFile::encodeName(serverProgram()));
}

ServerProcess::~ServerProcess() {
    kill();
    qputenv("XDG_RUNTIME_DIR", m_oldRuntime);
    qputenv("JOURNAL_PORTS", m_oldPorts);
    qputenv("JOURNAL_EXCHANGE_SERVER", m_oldProgram);
}

bool ServerProcess::start(QString* why) {
    m_process.setProgram(serverProgram());
    m_process.setArguments(QStringList{QStringLiteral("--socket"), socketPath()} + m_extra);
    m_process.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
    m_process.start();
    if (!m_process.waitForStarted(5000)) {
        if (why)
            *why = m_process.errorString();
        return false;
    }
    // Ready when its socket takes connections (a socket file may be left from a killed one).
    QDeadlineTimer deadline(5000);
    while (!deadline.hasExpired()) {
        QLocalSocket probe;
        probe.connectToServer(socketPath());
        if (probe.waitForConnected(100)) {
            probe.abort();
            return true;
        }
        if (m_process.waitForFinished(10))
            break;
    }
    if (why)
        *why = QStringLiteral("server did not come up: ") + stderrText();
    return false;
}

void ServerProcess::kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString ServerProcess::stderrText() {
    return QString::fromLocal8Bit(m_process.readAllStandardError());
}

bool waitFor(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

} // namespace fixture
