// SPDX-License-Identifier: MIT
// The exchange server: keeps serial channels and Modbus masters for the components of the
// journal reader and executes their tasks.
#include "comm/ipc/serversocket.h"
#include "server/exchangeserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("journal-exchange-server"));
    std::signal(SIGPIPE, SIG_IGN);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Exchange server of the journal reader."));
    parser.addHelpOption();
    const QCommandLineOption socketOpt(QStringLiteral("socket"),
                                       QStringLiteral("Local socket path (default: per user)."),
                                       QStringLiteral("path"));
    const QCommandLineOption listenOpt(QStringLiteral("listen"),
                                       QStringLiteral("Also listen on TCP at ADDR:PORT."),
                                       QStringLiteral("addr:port"));
    const QCommandLineOption tokenOpt(QStringLiteral("token"),
                                      QStringLiteral("Access token remote clients must present "
                                                     "(required with --listen)."),
                                      QStringLiteral("token"));
    const QCommandLineOption idleOpt(QStringLiteral("exit-when-idle"),
                                     QStringLiteral("Exit when no client is connected."));
    const QCommandLineOption idleMsOpt(QStringLiteral("idle-ms"),
                                       QStringLiteral("Idle time before exiting (default 10000)."),
                                       QStringLiteral("ms"), QStringLiteral("10000"));
    parser.addOptions({socketOpt, listenOpt, tokenOpt, idleOpt, idleMsOpt});
    parser.process(app);

    if (parser.isSet(listenOpt) != parser.isSet(tokenOpt)) {
        std::fprintf(stderr, "--listen and --token go together\n");
        return 2;
    }

    server::ExchangeServer srv;
    QString why;
    QString socketPath = parser.value(socketOpt);
    if (socketPath.isEmpty())
        socketPath = comm::localServerSocketPath(&why);
    if (socketPath.isEmpty() || !srv.listenLocal(socketPath, &why)) {
        std::fprintf(stderr, "journal-exchange-server: %s\n", qPrintable(why));
        return 1;
    }
    if (parser.isSet(listenOpt)) {
        const QString where = parser.value(listenOpt);
        const qsizetype colon = where.lastIndexOf(u':');
        bool ok = false;
        const uint port = colon > 0 ? where.mid(colon + 1).toUInt(&ok) : 0;
        QHostAddress address(where.left(colon).remove(u'[').remove(u']'));
        if (!ok || port > 65535 || address.isNull()) {
            std::fprintf(stderr, "journal-exchange-server: --listen wants ADDR:PORT\n");
            return 2;
        }
        if (!srv.listenTcp(address, quint16(port), parser.value(tokenOpt), &why)) {
            std::fprintf(stderr, "journal-exchange-server: %s\n", qPrintable(why));
            return 1;
        }
        std::fprintf(stderr, "journal-exchange-server: listening on TCP port %u\n",
                     unsigned(srv.tcpPort()));
    }
    if (parser.isSet(idleOpt))
        srv.setExitWhenIdle(parser.value(idleMsOpt).toInt());
    return app.exec();
}
