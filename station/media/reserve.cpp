// The reserved area: the reserve image and the start of the second reserved
// section, written through the controller's reserved-area command.
#include <exception>

#include "controller/controller.h"
#include "media/format_internal.h"

namespace galmor {

namespace {

// One reserved-area write: opcode, 0, the offset most significant byte first,
// 0, 0, the count, and the count again as the transfer size.
bool ReservedWrite(SarnikApi& lib, int32_t h, int64_t offset, int32_t count, uint8_t* data) {
    const auto b = [offset](int shift) { return static_cast<int32_t>((offset >> shift) & 0xFF); };
    return lib.VendorWrite(h, sub::kReservedWrite, 0, b(24), b(16), b(8), b(0), 0, 0, count, count,
                           data) != 0;
}

}  // namespace

void WriteReserve7301(const PortJob& job, int64_t secondReservedSectors) {
    PortRecord& port = job.port;
    SarnikApi& lib = job.lib;
    try {
        const int32_t h = port.Handle;
        const int64_t imageSectors = job.recipe.ReserveImageSectors;

        if (!lib.VendorR(h, sub::kReserved, port.ReplyBuffer.data())) {
            port.ErrorStatus = Code(Status::ReservedAccess);
            return;
        }
        const ChunkWrite written = WriteChunks(
            job.recipe.ReserveImage, imageSectors,
            [&](int64_t offset, int32_t count, uint8_t* data) {
                return ReservedWrite(lib, h, offset, count, data);
            },
            [&] { job.view.AddProgress(1); });
        if (written != ChunkWrite::Done) {
            // An image file that changed since the load is a run-time error.
            port.ErrorStatus = written == ChunkWrite::WriteFailed ? Code(Status::ReservedWrite)
                                                                  : Code(Status::Runtime);
            return;
        }
        if (secondReservedSectors > kChunkSectors) {
            // Clear the first 64 KiB of the second reserved section.
            std::vector<uint8_t> zeros(kChunkBytes, 0);
            if (!ReservedWrite(lib, h, imageSectors, kChunkSectors, zeros.data())) {
                port.ErrorStatus = Code(Status::ReservedWrite);
                return;
            }
        }
        if (!lib.VendorR(h, sub::kReserved, port.ReplyBuffer.data())) {
            port.ErrorStatus = Code(Status::ReservedAccess);
        }
    } catch (const std::exception&) {
        port.ErrorStatus = Code(Status::Runtime);
    }
}

}  // namespace galmor
