// SPDX-License-Identifier: MIT
// A program that starts the tests' PostgreSQL server, prints its folder and waits to be ended by
// a signal: the tests check that its server stops and its folder goes then.
#include "postgresserver.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString why;
    const auto server = TPostgresServer::Start(&why);
    if (!server) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return 1;
    }
    std::printf("%s\n", qPrintable(server->socketFolder()));
    std::fflush(stdout);
    for (;;)
        ::pause();
}
