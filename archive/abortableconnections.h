// SPDX-License-Identifier: MIT
#pragma once

namespace archive {

// The sockets of this process's open PostgreSQL connections. A server that stops answering
// (its backend frozen, a dead host behind a live network) leaves a libpq call waiting in poll()
// with no limit of its own; shutting its socket down from another thread ends that wait at once:
// the call returns as if the server had closed the connection. Thread-safe.
//
// A connection registers its socket after it opens and unregisters it before it closes, so that
// a descriptor the system hands out again is never shut down.
int RegisterConnectionSocket(int socket); // a handle; 0 for a socket < 0
void UnregisterConnectionSocket(int handle);
void AbortConnection(int handle);
// Every registered connection: a program ending on a signal does not wait for its archive.
void AbortConnections();

} // namespace archive
