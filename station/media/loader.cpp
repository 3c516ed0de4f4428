// The chunk writer shared by the image writers, and the loader disk: the
// loader image written onto the first sectors of the port's sector space, and
// read back from there by the disk scan.
#include <algorithm>
#include <cstring>
#include <exception>

#include "media/format_internal.h"

namespace galmor {

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

bool WriteChunks(const std::vector<uint8_t>& image, int64_t sectors,
                 const std::function<bool(int64_t offset, int32_t count, uint8_t* data)>& write,
                 const std::function<void()>& afterFullChunk) {
    const ChunkSplit c = SplitChunks(sectors);
    std::vector<uint8_t> buf(kChunkBytes);
    for (int64_t k = 0; k < c.fullChunks; ++k) {
        CopyPadded(image, static_cast<size_t>(k) * kChunkBytes, kChunkBytes, buf.data());
        if (!write(k * kChunkSectors, kChunkSectors, buf.data())) return false;
        if (afterFullChunk) afterFullChunk();
    }
    if (c.residual > 0) {
        const size_t offset = static_cast<size_t>(c.fullChunks) * kChunkBytes;
        CopyPadded(image, offset, static_cast<size_t>(c.residual) * kSector, buf.data());
        if (!write(c.fullChunks * kChunkSectors, static_cast<int32_t>(c.residual), buf.data())) {
            return false;
        }
    }
    return true;
}

namespace {

// True when `len` bytes at `got` equal the image bytes from `offset` on,
// zero-padded past the image's end as they were written. Compares in place:
// no copy of the image is made.
bool MatchesPadded(const std::vector<uint8_t>& image, size_t offset, size_t len,
                   const uint8_t* got) {
    const size_t have = offset < image.size() ? std::min(len, image.size() - offset) : 0;
    if (have && std::memcmp(got, image.data() + offset, have) != 0) return false;
    return std::all_of(got + have, got + len, [](uint8_t b) { return b == 0; });
}

// Reads `count` sectors at `offset` and compares them with the image bytes
// written there.
bool ChunkReadsBack(const PortJob& job, int64_t offset, int32_t count, std::vector<uint8_t>& got) {
    const size_t len = static_cast<size_t>(count) * kSector;
    if (!job.lib.Read(job.port.Handle, count, static_cast<int32_t>(offset), got.data())) {
        return false;
    }
    return MatchesPadded(job.recipe.LoaderImage, static_cast<size_t>(offset) * kSector, len,
                         got.data());
}

}  // namespace

void ScanDisk7301(const PortJob& job) {
    PortRecord& port = job.port;
    if (port.ErrorStatus != 0) return;
    try {
        const PortRunValues values =
            job.values.formatted ? job.values : PortRunValues::From(job.recipe);
        const ChunkSplit c = SplitChunks(values.LoaderDiskSectors());
        std::vector<uint8_t> got(kChunkBytes);
        for (int64_t k = 0; k < c.fullChunks; ++k) {
            if (!ChunkReadsBack(job, k * kChunkSectors, kChunkSectors, got)) {
                port.ErrorStatus = Code(Status::LoaderCompare);
                return;
            }
            job.view.AddProgress(1);
        }
        if (c.residual > 0 && !ChunkReadsBack(job, c.fullChunks * kChunkSectors,
                                              static_cast<int32_t>(c.residual), got)) {
            port.ErrorStatus = Code(Status::LoaderCompare);
        }
    } catch (const std::exception&) {
        port.ErrorStatus = Code(Status::Runtime);
    }
}

void WriteLoader7301(const PortJob& job, int64_t loaderSectors) {
    PortRecord& port = job.port;
    try {
        const int32_t h = port.Handle;
        job.lib.TestUnitReady(h);
        const bool written = WriteChunks(
            job.recipe.LoaderImage, loaderSectors,
            [&](int64_t offset, int32_t count, uint8_t* data) {
                return job.lib.Write(h, count, static_cast<int32_t>(offset), data) != 0;
            },
            [&] { job.view.AddProgress(1); });
        if (!written) port.ErrorStatus = Code(Status::WriteFailed);
    } catch (const std::exception&) {
        port.ErrorStatus = Code(Status::Runtime);
    }
}

}  // namespace galmor
