// Internals of the format step: the layout of one port, the sectors built for
// its file systems, and the writers of the loader disk and the reserved area.
// The builders are pure so that they can be checked byte for byte; the
// writers send what the builders produce.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/port.h"
#include "core/status.h"
#include "media/media.h"
#include "recipe/image.h"
#include "recipe/settings.h"

namespace galmor {

// Rounds to the nearest integer, ties to even (the station's rule for every
// figure computed in floating point).
int64_t RoundEven(double v);

// Images move in chunks of 128 sectors (64 KiB).
constexpr int32_t kChunkSectors = 128;
constexpr size_t kChunkBytes = static_cast<size_t>(kChunkSectors) * kSector;

struct ChunkSplit {
    int64_t fullChunks = 0;
    int64_t residual = 0;  // 0..127 sectors written after the full chunks
};
ChunkSplit SplitChunks(int64_t sectors);

// How a chunked image write ended.
enum class ChunkWrite { Done, WriteFailed, ImageUnreadable };

// Writes `sectors` sectors of `image` in chunks of 128 sectors and a last
// shorter chunk, reading each chunk from the image file just before it is
// sent: `write(offset, count, data)` sends one chunk at `offset` sectors from
// the start; `afterFullChunk` runs after each full chunk. What lies past the
// end of the image is sent as zeros. Stops at the first failure.
ChunkWrite WriteChunks(
    const ImageFile& image, int64_t sectors,
    const std::function<bool(int64_t offset, int32_t count, uint8_t* data)>& write,
    const std::function<void()>& afterFullChunk);

// Progress bar maximum of the format step: one step per 64 KiB of loader and
// reserve image data, plus one.
int ProgressMaximum(uint64_t loaderBytes, uint64_t reserveBytes);

// ---------------------------------------------------------------------------
// Layout of one port.

// Bytes of the 512-byte block sent with sub-command 0x99; everything else is 0.
namespace layout {
constexpr size_t kFirstPartition = 0;   // u32 LE: first partition size, 0 = one partition
constexpr size_t kTotalReserved = 6;    // u32 LE: whole reserved area in sectors
constexpr size_t kOneMegReserved = 10;  // u8: 1 = one megabyte kept reserved
constexpr size_t kReserveImage = 11;    // u32 LE: reserve image sectors
constexpr size_t kLoaderKb = 15;        // u32 LE: loader disk size in KiB
constexpr size_t kNonRemovable = 19;    // u8: 1 = disk reports itself not removable
constexpr size_t kLoaderDisabled = 20;  // u8: 1 = no loader disk
}  // namespace layout

// Byte 0 of the block that commits a layout (sub-command 0xF5).
constexpr uint8_t kCommitMark = 0x84;

// Status of a layout that does not fit (shown as "Flash Size Wrong").
constexpr int16_t kStatusSizeWrong = Code(Status::SizeWrong);

// kOneMegSectors and kMinUserArea are the recipe's: its load checks that the
// images fit the smallest layout.
// Largest partition the sectors-per-cluster table covers.
constexpr int64_t kMaxPartitionSectors = 4096000;
// Largest FAT12 partition.
constexpr int64_t kMaxFat12Sectors = 32000;
// The last 256 sectors of a first partition (of two) are filled with 0xFF.
constexpr int64_t kFillSectors = 256;
// Smallest partition: its FAT12 structures (boot sector, two FATs, root
// directory: 57 sectors) plus the 0xFF fill, so that the fill never reaches
// the structures or anything in front of the partition.
constexpr int64_t kFat12StructureSectors = 1 + 24 + 32;
constexpr int64_t kMinPartitionSectors = kFat12StructureSectors + kFillSectors;
// The boot sector gives the volume this many sectors fewer than the partition.
constexpr int64_t kVolumeShortfall = 33;
// Smallest second partition: a volume with its FAT12 structures and one
// cluster. The fill lies in the first partition and never reaches the second.
constexpr int64_t kMinSecondPartitionSectors = kVolumeShortfall + kFat12StructureSectors + 1;

// The settings values one port's layout is computed from, read once per call.
struct LayoutInput {
    int64_t nominalSectors = 0;
    int64_t loaderImageSectors = 0;
    int64_t reserveImageSectors = 0;
    int64_t totalReservedSectors = 0;
    int64_t secondReservedSectors = 0;
    double firstPartitionShare = 1.0;
    bool oneMegReserved = false;
    bool noRomeableDisk = false;
    bool noLoaderDisk = false;
};

// A share the station can lay out: above 0 and at most 1.
bool ShareValid(double share);

// One port's layout. Lives per call: ports formatted at the same time never
// see each other's values.
struct PortLayout {
    int16_t status = 0;           // 0, or kStatusSizeWrong
    bool nonRemovable = false;    // no user partition; the rest is reserved area
    bool loaderDisabled = false;  // no loader disk, no images written
    bool twoPartitions = false;
    int64_t loaderSectors = 0;  // sectors 0..loaderSectors-1 hold the loader disk
    int64_t reserveImageSectors = 0;
    int64_t totalReservedSectors = 0;
    int64_t secondReservedSectors = 0;
    int64_t par0 = 0;  // first (or only) partition size
    int64_t par1 = 0;  // second partition size, 0 with one partition
    std::array<uint8_t, kSector> block{};

    int64_t FirstPartitionStart() const { return loaderSectors; }
    int64_t SecondPartitionStart() const { return loaderSectors + par0; }
};

// The layout input of a port: its capacity, its run values and the recipe.
LayoutInput LayoutInputFor(const PortJob& job);

// Computes a port's layout and its 0x99 block. A layout that does not fit
// (or a share outside (0, 1], or a partition the file system tables cannot
// describe) comes back with status kStatusSizeWrong.
PortLayout ComputeLayout(const LayoutInput& in);

// ---------------------------------------------------------------------------
// File systems.

// FAT kind as the partition writers pass it.
enum class FatKind : int16_t { Fat16 = 1, Fat12 = 2 };

FatKind FatKindFor(int64_t sectors);
int64_t FatAreaSectors(FatKind kind);  // both copies
int SectorsPerFat(FatKind kind);

// Sectors per cluster for a partition size; 0 when the table has no value.
int SectorsPerCluster(int64_t sectors);

// An 11-character volume label field.
using LabelField = std::array<uint8_t, 11>;

// Builds a partition's boot sector from the template. With `label` the boot
// sector carries the same volume label as the root directory (else the
// template's). False when the size has no sectors-per-cluster value (the
// sector is left untouched then).
bool BuildBootSector(const std::array<uint8_t, kSector>& tmpl, int64_t sectors, FatKind kind,
                     const LabelField* label, std::array<uint8_t, kSector>& out);

// One write of a FAT copy: where, how many sectors, and whether the buffer
// starts with the FAT's first bytes.
struct FatWrite {
    int64_t lba = 0;
    int32_t count = 0;
    bool header = false;
};
// The writes of both FAT copies starting at `firstSector`.
std::vector<FatWrite> PlanFatWrites(FatKind kind, int64_t firstSector);
// The first four bytes of each FAT copy.
std::array<uint8_t, 4> FatHeader(FatKind kind);

// Root directory: 32 sectors, a volume-label entry first unless the
// directory starts at sector 511.
constexpr int32_t kRootDirSectors = 32;
constexpr int64_t kNoLabelRootSector = 511;
constexpr uint16_t kLabelTime = 0x8BA8;
constexpr uint16_t kLabelDate = 0x2CEA;
// The volume label a partition gets: the first 11 bytes of `diskLabel`,
// padded with blanks. None when the root directory starts at sector 511, or
// when the label is blank (a blank label is not a valid volume label).
std::optional<LabelField> VolumeLabelFor(const std::string& diskLabel, int64_t rootSector);
std::vector<uint8_t> BuildRootDirectory(const std::string& diskLabel, int64_t firstSector);

// ---------------------------------------------------------------------------
// Steps of one port. Outcomes go to the port's ErrorStatus.

// Lays out the port and writes images and file systems. When `out` is given
// it receives the layout used (its status is 0 when the layout was sent).
void Fdisk7301(const PortJob& job, PortLayout* out);
void MakePartition7301(const PortJob& job, int64_t initialSector, int64_t sectors);
bool WriteBootSector(const PortJob& job, int64_t initialSector, int64_t sectors, FatKind kind);
bool WriteFatCopies(const PortJob& job, int64_t& firstSector, FatKind kind);
bool WriteRootDirectory(const PortJob& job, int64_t firstSector);
// Reads back every sector MakePartition7301 wrote for the partition (boot
// sector, both FAT copies, root directory), 128 sectors at a time, and
// compares it with what the writes left there. False on a failed read or a
// difference.
bool PartitionReadsBack(const PortJob& job, int64_t initialSector, int64_t sectors);

// The loader disk image onto sectors 0..loaderSectors-1 of the port
// (`loaderSectors` is the loader disk size of this port's layout).
void WriteLoader7301(const PortJob& job, int64_t loaderSectors);
// The reserve image into the reserved area; `secondReservedSectors` is the
// size of the second reserved section in this port's layout.
void WriteReserve7301(const PortJob& job, int64_t secondReservedSectors);

}  // namespace galmor
