// Controller steps of a production run that work on one port: configuration
// block, its check, write protect and password.
#pragma once

#include <cstdint>
#include <optional>

#include "controller/port_job.h"

namespace galmor {

// BuildConfigBlock's outcome: when it writes, or when no block could be built.
// InfoUnreadable: the device information (0x75) could not be read, so the
// controller's revision is unknown; nothing is written.
enum class BuildResult : int {
    WriteFailed = 0,
    Written = 1,
    MissingSetting = 2,
    InfoUnreadable = 3,
};
// VerifyConfigBlock's outcome.
enum class VerifyResult : int { Unreadable = 0, Differs = 1, Matches = 2 };
// The write-protect switch as the controller reports it.
enum class WpState : int { Writable = 0, Protected = 1 };

// Builds the ConfigBlock in the port's SectorBuffer and, when write, sends it.
// nullopt when write is false and the block was built; InfoUnreadable (with
// write true or false) when the device information could not be read.
std::optional<BuildResult> BuildConfigBlock(const PortJob& job, bool write);
VerifyResult VerifyConfigBlock(const PortJob& job);
// The "Manufacture" item: writes the block and fills the "Config String" column.
void SetUsbScsiStr(const PortJob& job);
// The "Check Config" item: the stored block against the one the recipe gives.
void TestCopyAndCompareFile(const PortJob& job);

// nullopt when unknown.
std::optional<WpState> ReadWriteProtectState(const PortJob& job);
// The "Check WP" item.
void CheckWriteProtect(const PortJob& job);
// Runs after a good format.
void ClearIllegalUserPassword(const PortJob& job);

}  // namespace galmor
