// The platform's format service for the volumes of the drive-letter table:
// dosfstools (mkfs.fat, fatlabel) make and label the file system, and the
// library reads the result back from the volume.
//
// A volume the platform offers as a file (a partition's block node) is
// handed to the tools as it is. Any other (a unit on the simulated bus) is
// worked on in a sparse image in a private temporary folder: the image is
// made or filled with the volume's system area (boot sector, FATs, root
// folder), the tool runs on it, and the sectors of the system area it changed
// are written back through the platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace sarnik::fat {

// The tool's path: only the folder $SARNIK_FORMAT_TOOLS when that is set,
// else the folders of $PATH, /usr/sbin and /sbin. Nothing when not found.
std::optional<std::string> find_tool(const char* name);

// Runs a program (standard input and output on /dev/null, standard error
// kept) and waits for it. true when it ran and exited with status 0.
bool run_tool(const std::string& exe, const std::vector<std::string>& args);

// The BIOS parameter block of a FAT boot sector with 512-byte sectors.
struct Geometry {
    uint32_t sectors_per_cluster = 0;
    uint32_t reserved = 0;
    uint32_t fats = 0;
    uint32_t root_entries = 0;  // 0 on FAT32
    uint32_t fat_sectors = 0;
    uint64_t total_sectors = 0;
    uint32_t root_cluster = 0;  // FAT32 only
    int bits = 0;               // 12, 16 or 32

    uint64_t root_dir_sectors() const { return (uint64_t(root_entries) * 32 + 511) / 512; }
    uint64_t first_data_sector() const {
        return reserved + uint64_t(fats) * fat_sectors + root_dir_sectors();
    }
    uint64_t clusters() const;
    // Sectors from the start that hold the boot sector, the FATs and the
    // root folder (its first cluster on FAT32).
    uint64_t system_area() const;
};
std::optional<Geometry> parse_boot_sector(const uint8_t* s);

struct VolumeInfo {
    Geometry geometry;
    std::string label;  // from the root folder's label entry; "" when none
};
std::optional<VolumeInfo> read_info(Platform& p, const Volume& v);
std::optional<uint64_t> free_bytes(Platform& p, const Volume& v, const Geometry& g);

// Makes a FAT12 or FAT16 file system (no label) on the volume.
bool format(Platform& p, const Volume& v, const std::string& mkfs);
// Sets the volume label.
bool set_label(Platform& p, const Volume& v, const std::string& fatlabel, const std::string& label);

}  // namespace sarnik::fat
