// Controller steps of a production run that work on one port: configuration
// block, write protect and password.
#pragma once

#include <cstdint>
#include <optional>

namespace galmor {

struct Station;

// Builds the ConfigBlock in the port's SectorBuffer and, when write, sends it.
// Results: 1 written, 0 write failed, 2 a required setting is empty; nullopt
// when write is false.
std::optional<int> BuildConfigBlock(Station& st, int16_t port, bool write);
// 2 stored block matches, 1 differs, 0 unreadable.
int VerifyConfigBlock(Station& st, int16_t port);
// The "Manufacture" item: writes the block and fills the "Config String" column.
void SetUsbScsiStr(Station& st, int16_t index);

// 1 write-protected, 0 writable, nullopt when unknown.
std::optional<int> ReadWriteProtectState(Station& st, int16_t port);
// The "Check WP" item (0-based index).
void CheckWriteProtect(Station& st, int16_t index);
// Runs after a good format (1-based port).
void ClearIllegalUserPassword(Station& st, int16_t port);

}  // namespace galmor
