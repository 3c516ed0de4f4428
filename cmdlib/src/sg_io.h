// Translation between the request blocks and Linux SG_IO requests. Pure
// functions: no system call happens here.
#pragma once

#include <scsi/sg.h>

#include "blocks.h"

namespace sarnik {

// An SG_IO request for the block. `data` is the transfer buffer (the block's
// own data area for the buffered block); sense data goes into the block's
// sense area at SenseInfoOffset, at most SenseInfoLength bytes.
sg_io_hdr to_sg_io(PassThroughBlock& block, void* data);
sg_io_hdr to_sg_io(BufferedPassThroughBlock& block);

// Copies the outcome of a completed SG_IO request into the block: the SCSI
// status and the bytes actually moved (requested length minus residue).
// false when the request failed in transport (host adapter or driver
// error): the device never answered, as a failed DeviceIoControl.
bool from_sg_io(const sg_io_hdr& hdr, PassThroughBlock& block);
bool from_sg_io(const sg_io_hdr& hdr, BufferedPassThroughBlock& block);

}  // namespace sarnik
