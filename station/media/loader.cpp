// The loader disk: the loader image written onto the first sectors of the
// port's sector space, 128 sectors at a time.
#include <algorithm>
#include <cstring>
#include <exception>

#include "core/station.h"
#include "media/format_internal.h"

namespace galmor {

namespace {

constexpr int16_t kStatusLoaderWrite = 0x80;
constexpr int16_t kStatusRuntime = 0xFF;

}  // namespace

void CopyPadded(const std::vector<uint8_t>& image, size_t offset, size_t len, uint8_t* buf) {
    const size_t have = offset < image.size() ? std::min(len, image.size() - offset) : 0;
    if (have) std::memcpy(buf, image.data() + offset, have);
    std::memset(buf + have, 0, len - have);
}

ChunkSplit SplitChunks(int64_t sectors) {
    ChunkSplit c;
    if (sectors <= 0) return c;
    c.fullChunks = sectors / kChunkSectors;
    c.residual = sectors - c.fullChunks * kChunkSectors;
    return c;
}

int ProgressMaximum(uint64_t loaderBytes, uint64_t reserveBytes) {
    const double units = static_cast<double>(loaderBytes + reserveBytes) / 65536.0;
    return static_cast<int>(RoundEven(units) + 1);
}

void WriteLoader7301(Station& st, int16_t slot, int64_t loaderSectors) {
    if (slot < 1 || slot > kMaxPorts) return;
    PortRecord& port = st.ports[slot - 1];
    const int row = slot - 1;
    try {
        const int32_t h = port.Handle;
        st.lib.TestUnitReady(h);
        const std::vector<uint8_t>& image = st.settings.LoaderImage;
        const ChunkSplit c = SplitChunks(loaderSectors);
        std::vector<uint8_t> buf(kChunkBytes);
        for (int64_t k = 0; k < c.fullChunks; ++k) {
            CopyPadded(image, static_cast<size_t>(k) * kChunkBytes, kChunkBytes, buf.data());
            if (!st.lib.Write(h, kChunkSectors, static_cast<int32_t>(k * kChunkSectors),
                              buf.data())) {
                port.ErrorStatus = kStatusLoaderWrite;
                return;
            }
            st.model.AddValue("ProgressBar", row, 1);
        }
        if (c.residual > 0) {
            const size_t offset = static_cast<size_t>(c.fullChunks) * kChunkBytes;
            CopyPadded(image, offset, static_cast<size_t>(c.residual) * kSector, buf.data());
            if (!st.lib.Write(h, static_cast<int32_t>(c.residual),
                              static_cast<int32_t>(c.fullChunks * kChunkSectors), buf.data())) {
                port.ErrorStatus = kStatusLoaderWrite;
            }
        }
    } catch (const std::exception&) {
        port.ErrorStatus = kStatusRuntime;
    }
}

}  // namespace galmor
