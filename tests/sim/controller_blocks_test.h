// Blocks a host sends the controller, built by hand from their byte layouts.
#pragma once

#include <cstdint>
#include <vector>

namespace ctltest {

using Bytes = std::vector<uint8_t>;

inline Bytes commit_block() {
    Bytes b(512, 0);
    b[0] = 0x84;
    return b;
}

struct LayoutFields {
    uint32_t first = 0, total_reserved = 0, reserve_image = 0, loader_kb = 0;
    bool one_meg = false, non_removable = false, no_loader = false;
};

// 0 first partition (LE), 6 total reserved (LE), 10 one-meg flag, 11 reserve
// image (LE), 15 loader KB (LE), 19 non-removable flag, 20 loader-disabled flag.
inline Bytes layout_block(const LayoutFields& f) {
    Bytes b(512, 0);
    auto le32 = [&](size_t at, uint32_t v) {
        for (int k = 0; k < 4; ++k) b[at + k] = uint8_t(v >> (8 * k));
    };
    le32(0, f.first);
    le32(6, f.total_reserved);
    b[10] = f.one_meg;
    le32(11, f.reserve_image);
    le32(15, f.loader_kb);
    b[19] = f.non_removable;
    b[20] = f.no_loader;
    return b;
}

// The configuration block of the worked example: VID 1234, PID 5678, "AB"/"Disk"
// for USB and SCSI, firmware 5, serial 00012345; reserved sizes (BE) at 192/196.
inline Bytes example_config(uint32_t total_reserved = 0, uint32_t reserve_image = 0) {
    const Bytes head = {0x99, 0x07, 0x06, 0x0A, 0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x08,
                        0x34, 0x12, 0x78, 0x56, 0x05, 0x01, 0x01, 0x02, 0x00, 0x01, 0x06, 0x03,
                        0x41, 0x00, 0x42, 0x00, 0x0A, 0x03, 0x44, 0x00, 0x69, 0x00, 0x73, 0x00,
                        0x6B, 0x00, 0x41, 0x42, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x44, 0x69,
                        0x73, 0x6B, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
                        0x20, 0x20, 0x38, 0x2E, 0x30, 0x30, 0x32, 0xAA, 0x55};
    const Bytes serial = {0x12, 0x03, 0x30, 0x00, 0x30, 0x00, 0x30, 0x00, 0x31, 0x00,
                          0x32, 0x00, 0x33, 0x00, 0x34, 0x00, 0x35, 0x00, 0xA4};
    Bytes b(512, 0);
    std::copy(head.begin(), head.end(), b.begin());
    b[126] = 0x3C;
    b[127] = 0xC3;
    std::copy(serial.begin(), serial.end(), b.begin() + 128);
    for (int k = 0; k < 4; ++k) {
        b[192 + k] = uint8_t(total_reserved >> (24 - 8 * k));
        b[196 + k] = uint8_t(reserve_image >> (24 - 8 * k));
    }
    return b;
}

}  // namespace ctltest
