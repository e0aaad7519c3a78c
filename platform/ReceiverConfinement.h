// SPDX-License-Identifier: Apache-2.0
#pragma once

namespace platform {

/// Confines the receiver for good, before it reads its first request: from root it becomes nobody (65534) with no
/// capability in any set and no new privileges, it dies with the root process, Landlock governs every right on files
/// and grants only reading the CA store, the resolver's and host files and the libraries that name resolution and TLS
/// load (and from ABI 6 it may signal, or reach an abstract socket of, nobody outside itself), and a system-call filter
/// allows only what a transfer calls (the network, reading, memory, threads) and refuses the rest: running programs,
/// tracing, signalling others, making nodes, changing owners, modes, times or identities. False when the root process
/// is already gone or a layer could not be put in force (the receiver then does not run); only a kernel without
/// Landlock leaves that layer out.
[[nodiscard]] bool confineReceiver();

}
