// The chunk writer shared by the image writers, and the loader disk: the
// loader image written onto the first sectors of the port's sector space, and
// read back from there by the disk scan.
#include <algorithm>
#include <cstring>
#include <exception>

#include "media/format_internal.h"

namespace galmor {

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

ChunkWrite WriteChunks(
    const ImageFile& image, int64_t sectors,
    const std::function<bool(int64_t offset, int32_t count, uint8_t* data)>& write,
    const std::function<void()>& afterFullChunk) {
    const ChunkSplit c = SplitChunks(sectors);
    std::vector<uint8_t> buf(kChunkBytes);
    for (int64_t k = 0; k < c.fullChunks; ++k) {
        if (!image.Read(static_cast<uint64_t>(k) * kChunkBytes, kChunkBytes, buf.data())) {
            return ChunkWrite::ImageUnreadable;
        }
        if (!write(k * kChunkSectors, kChunkSectors, buf.data())) return ChunkWrite::WriteFailed;
        if (afterFullChunk) afterFullChunk();
    }
    if (c.residual > 0) {
        const uint64_t offset = static_cast<uint64_t>(c.fullChunks) * kChunkBytes;
        if (!image.Read(offset, static_cast<size_t>(c.residual) * kSector, buf.data())) {
            return ChunkWrite::ImageUnreadable;
        }
        if (!write(c.fullChunks * kChunkSectors, static_cast<int32_t>(c.residual), buf.data())) {
            return ChunkWrite::WriteFailed;
        }
    }
    return ChunkWrite::Done;
}

namespace {

enum class ReadBack { Matches, Differs, ImageUnreadable };

// Reads `count` sectors at `offset` and compares them with the image bytes
// written there (zero-padded past the image's end, as they were written). The
// image's piece is read from its file into `want`.
ReadBack ChunkReadsBack(const PortJob& job, int64_t offset, int32_t count,
                        std::vector<uint8_t>& got, std::vector<uint8_t>& want) {
    const size_t len = static_cast<size_t>(count) * kSector;
    if (!job.recipe.LoaderImage.Read(static_cast<uint64_t>(offset) * kSector, len, want.data())) {
        return ReadBack::ImageUnreadable;
    }
    if (!job.lib.Read(job.port.Handle, count, static_cast<int32_t>(offset), got.data())) {
        return ReadBack::Differs;
    }
    return std::memcmp(got.data(), want.data(), len) == 0 ? ReadBack::Matches : ReadBack::Differs;
}

// The port's status for a chunk that did not read back.
int16_t ReadBackStatus(ReadBack r) {
    return r == ReadBack::ImageUnreadable ? Code(Status::Runtime) : Code(Status::LoaderCompare);
}

}  // namespace

void ScanDisk7301(const PortJob& job) {
    PortRecord& port = job.port;
    if (port.ErrorStatus != 0) return;
    try {
        const PortRunValues values =
            job.values.formatted ? job.values : PortRunValues::From(job.recipe);
        const ChunkSplit c = SplitChunks(values.LoaderDiskSectors());
        std::vector<uint8_t> got(kChunkBytes), want(kChunkBytes);
        for (int64_t k = 0; k < c.fullChunks; ++k) {
            const ReadBack r = ChunkReadsBack(job, k * kChunkSectors, kChunkSectors, got, want);
            if (r != ReadBack::Matches) {
                port.ErrorStatus = ReadBackStatus(r);
                return;
            }
            job.view.AddProgress(1);
        }
        if (c.residual > 0) {
            const ReadBack r = ChunkReadsBack(job, c.fullChunks * kChunkSectors,
                                              static_cast<int32_t>(c.residual), got, want);
            if (r != ReadBack::Matches) port.ErrorStatus = ReadBackStatus(r);
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
        const ChunkWrite written = WriteChunks(
            job.recipe.LoaderImage, loaderSectors,
            [&](int64_t offset, int32_t count, uint8_t* data) {
                return job.lib.Write(h, count, static_cast<int32_t>(offset), data) != 0;
            },
            [&] { job.view.AddProgress(1); });
        if (written == ChunkWrite::WriteFailed) port.ErrorStatus = Code(Status::WriteFailed);
        // The image file changed or went away since the recipe was loaded.
        if (written == ChunkWrite::ImageUnreadable) port.ErrorStatus = Code(Status::Runtime);
    } catch (const std::exception&) {
        port.ErrorStatus = Code(Status::Runtime);
    }
}

}  // namespace galmor
