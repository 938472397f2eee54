// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// Where the exchange server of this user listens on this machine: the server listens there and
// the components connect there.
namespace comm {

// Folder of the per-user socket: $XDG_RUNTIME_DIR/journal when XDG_RUNTIME_DIR is set, else
// /tmp/journal-<uid>. Creates it with mode 0700 and checks that it belongs to this user and no
// one else can enter it; returns an empty string and the reason otherwise.
[[nodiscard]] QString localServerDirectory(QString* error = nullptr);
// The per-user socket path inside that folder (empty when the folder is unusable).
[[nodiscard]] QString localServerSocketPath(QString* error = nullptr);

} // namespace comm
