// Files the benchmarks write for their recipes: a file with its folders, and
// a repeatable byte pattern that no compression or zero-page shortcut helps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace bench {

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

inline std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// A recipe in `home` for the benchmarks' disks: two FAT partitions, Compare
// Disk on, a loader image of `loaderBytes` and a 1 MiB reserve image.
inline void WriteRecipe(const std::filesystem::path& home, size_t loaderBytes,
                        const std::string& label = "BENCH", int sizeMb = 512,
                        const std::string& serial = "BEN") {
    const std::filesystem::path files = home / "files";
    WriteFile(files / "7301.img", Pattern(loaderBytes, 1));
    WriteFile(files / "Reserve.img", Pattern(1u << 20, 2));
    WriteFile(home / "Product.ini",
              "[VID/PID]\r\nVID=1234\r\nPID=5678\r\n"
              "[USB MANUFACTURE STRING]\r\nKorva\r\n"
              "[USB PRODUCT STRING]\r\nFlash Disk\r\n"
              "[SCSI MANUFACTURE STRING]\r\nKORVA\r\n"
              "[SCSI PRODUCT STRING]\r\nFLASH DISK\r\n"
              "[PARTITION STATUS]\r\nParNum=2\r\n1st=0.5\r\n2nd=0.5\r\n"
              "[DISK LABEL]\r\n" +
                  label +
                  "\r\n"
                  "[DISK CAPACITY]\r\nSize=" +
                  std::to_string(sizeMb) +
                  "\r\n"
                  "[7301 Compare Disk Flag]\r\nTrue\r\n"
                  "[Serial Number]\r\n" +
                  serial +
                  "\r\n"
                  "[7301 Files Directory]\r\n" +
                  files.string() + "/\r\n");
}

}  // namespace bench
