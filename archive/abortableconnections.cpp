// SPDX-License-Identifier: MIT
#include "archive/abortableconnections.h"

#include <map>
#include <mutex>
#include <sys/socket.h>

namespace archive {

namespace {

std::mutex g_mutex;
std::map<int, int> g_sockets; // handle -> socket
int g_lastHandle = 0;

} // namespace

int RegisterConnectionSocket(int socket) {
    if (socket < 0)
        return 0;
    std::lock_guard lock(g_mutex);
    g_sockets[++g_lastHandle] = socket;
    return g_lastHandle;
}

void UnregisterConnectionSocket(int handle) {
    std::lock_guard lock(g_mutex);
    g_sockets.erase(handle);
}

void AbortConnection(int handle) {
    std::lock_guard lock(g_mutex);
    if (const auto it = g_sockets.find(handle); it != g_sockets.end())
        ::shutdown(it->second, SHUT_RDWR);
}

void AbortConnections() {
    std::lock_guard lock(g_mutex);
    for (const auto& [handle, socket] : g_sockets)
        ::shutdown(socket, SHUT_RDWR);
}

} // namespace archive
