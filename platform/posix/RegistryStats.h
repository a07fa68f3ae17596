// What the registry store holds open, for tests and diagnostics.
#pragma once

#include <cstddef>

namespace refwarden {

// Key handles returned by RegCreateKeyExA/RegOpenKeyExA and not yet closed.
std::size_t RegistryOpenHandleCount();

// SQLite connections open now: held by key handles or idle in the pool.
std::size_t RegistryOpenConnectionCount();

// Closes the pool's idle connections. Connections held by open handles stay
// until their handles are closed, and are then pooled again.
void RegistryDrainPool();

}  // namespace refwarden
