// The reserved area: the reserve image and the start of the second reserved
// section, written through the controller's reserved-area command.
#include <algorithm>
#include <cstring>
#include <exception>

#include "controller/controller.h"
#include "core/station.h"
#include "media/format_internal.h"

namespace galmor {

namespace {

constexpr int16_t kStatusReservedAccess = 0x9A;
constexpr int16_t kStatusReservedWrite = 0xF7;
constexpr int16_t kStatusRuntime = 0xFF;

// One reserved-area write: opcode, 0, the offset most significant byte first,
// 0, 0, the count, and the count again as the transfer size.
bool ReservedWrite(Station& st, int32_t h, int64_t offset, int32_t count, uint8_t* data) {
    const auto b = [offset](int shift) { return static_cast<int32_t>((offset >> shift) & 0xFF); };
    return st.lib.VendorWrite(h, sub::kReservedWrite, 0, b(24), b(16), b(8), b(0), 0, 0, count,
                              count, data) != 0;
}

}  // namespace

void WriteReserve7301(Station& st, int16_t slot, int64_t secondReservedSectors) {
    if (slot < 1 || slot > kMaxPorts) return;
    PortRecord& port = st.ports[slot - 1];
    const int row = slot - 1;
    try {
        const int32_t h = port.Handle;
        const int64_t imageSectors = st.settings.ReserveImageSectors;
        const std::vector<uint8_t>& image = st.settings.ReserveImage;
        const ChunkSplit c = SplitChunks(imageSectors);

        if (!st.lib.VendorR(h, sub::kReserved, port.ReplyBuffer.data())) {
            port.ErrorStatus = kStatusReservedAccess;
            return;
        }
        std::vector<uint8_t> buf(kChunkBytes);
        for (int64_t k = 0; k < c.fullChunks; ++k) {
            CopyPadded(image, static_cast<size_t>(k) * kChunkBytes, kChunkBytes, buf.data());
            if (!ReservedWrite(st, h, k * kChunkSectors, kChunkSectors, buf.data())) {
                port.ErrorStatus = kStatusReservedWrite;
                return;
            }
            st.model.AddValue("ProgressBar", row, 1);
        }
        if (c.residual > 0) {
            const size_t offset = static_cast<size_t>(c.fullChunks) * kChunkBytes;
            CopyPadded(image, offset, static_cast<size_t>(c.residual) * kSector, buf.data());
            if (!ReservedWrite(st, h, c.fullChunks * kChunkSectors,
                               static_cast<int32_t>(c.residual), buf.data())) {
                port.ErrorStatus = kStatusReservedWrite;
                return;
            }
        }
        if (secondReservedSectors > kChunkSectors) {
            // Clear the first 64 KiB of the second reserved section.
            std::fill(buf.begin(), buf.end(), 0);
            if (!ReservedWrite(st, h, imageSectors, kChunkSectors, buf.data())) {
                port.ErrorStatus = kStatusReservedWrite;
                return;
            }
        }
        if (!st.lib.VendorR(h, sub::kReserved, port.ReplyBuffer.data())) {
            port.ErrorStatus = kStatusReservedAccess;
        }
    } catch (const std::exception&) {
        port.ErrorStatus = kStatusRuntime;
    }
}

}  // namespace galmor
