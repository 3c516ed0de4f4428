// Fuzzes the decoders of controller replies: the chip list (any 512-byte
// reply, terminator or not) and a stored configuration block.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "controller/config_block.h"
#include "controller/controller.h"
#include "core/port.h"
#include "core/status.h"
#include "core/text.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

void FuzzChipList(galmor::PortRecord& p, const uint8_t* data, size_t size) {
    p.ReplyBuffer.fill(0);
    std::memcpy(p.ReplyBuffer.data(), data, std::min(size, p.ReplyBuffer.size()));
    p.ChipUsableSectors = 12345;
    const bool ok = galmor::ParseChipTable(p);

    // The list ends at the first 0xAA, or at the end of the reply.
    int expected = 0;
    while (expected < static_cast<int>(galmor::kSector) && p.ReplyBuffer[expected] != 0xAA) {
        ++expected;
    }
    int32_t blocks = 0, zones = 0, megabytes = 0;
    for (int c = 1; c <= expected; ++c) {
        galmor::ChipEntry known;
        int mb = 0;
        if (galmor::KnownChip(p.ReplyBuffer[c - 1], &known, &mb)) {
            blocks += known.Zones * known.BlocksPerZone;
            megabytes += mb;
            zones += known.Zones;
        }
    }
    const bool fits = blocks <= 32767 && zones <= 32767 && megabytes <= 32767;
    Check(ok == fits);
    if (ok) {
        Check(p.ChipCount == expected);
        Check(p.BlockCount == blocks && p.ZoneCount == zones);
        Check(p.NominalSectors == megabytes * 2000);
        Check(p.ChipUsableSectors >= 0);
        if (expected == 0) Check(p.ChipUsableSectors == 12345);
    } else {
        Check(p.ChipCount == 0 && p.BlockCount == 0 && p.NominalSectors == 0);
    }
}

void FuzzConfigBlock(const uint8_t* data, size_t size) {
    galmor::Block block{};
    std::memcpy(block.data(), data, std::min(size, block.size()));
    const auto decoded = galmor::DecodeConfigBlock(block.data(), block.size());
    if (!decoded || !decoded->Canonical) return;
    // A canonical block is exactly what the station composes from its values.
    galmor::ConfigIdentity id{decoded->Vid,        decoded->Pid,        decoded->UsbManufacturer,
                              decoded->UsbProduct, decoded->ScsiVendor, decoded->ScsiProduct};
    galmor::Block again{};
    Check(galmor::ComposeConfigBlock(id, decoded->Revision, decoded->SerialNumber,
                                     decoded->TotalReserved, decoded->ReserveImage,
                                     again) == galmor::ComposeResult::Ok);
    Check(again == block);
}

// Values taken from the input, composed and decoded again: the decoder must
// give back exactly what went in.
void FuzzComposeDecode(const uint8_t* data, size_t size) {
    if (size < 16) return;
    size_t at = 8;
    auto text = [&](size_t n) {
        std::string s;
        for (size_t k = 0; k < n; ++k) s.push_back(static_cast<char>(at < size ? data[at++] : 'x'));
        return s;
    };
    galmor::ConfigIdentity id;
    id.Vid = galmor::HexPad(data[0], 2, false) + galmor::HexPad(data[1], 2, false);
    id.Pid = galmor::HexPad(data[2], 2, false) + galmor::HexPad(data[3], 2, false);
    id.UsbManufacturer = text(1 + data[4] % 20);
    id.UsbProduct = text(1 + data[5] % 20);
    id.ScsiVendor = text(8);
    id.ScsiProduct = text(16);
    const std::string serial = text(8);
    const int32_t total = static_cast<int32_t>(data[6] * 0x01010101u);
    const int32_t reserve = static_cast<int32_t>(data[7] * 0x00010203u);
    galmor::Block block{};
    const auto result = galmor::ComposeConfigBlock(id, data[7], serial, total, reserve, block);
    // The USB strings as the block carries them: UTF-8, or else Latin-1, in
    // UTF-16 code units.
    auto utf8 = [](const std::string& t) {
        return galmor::IsUtf8(t) ? t : galmor::Latin1ToUtf8(t);
    };
    const std::string mfr = utf8(id.UsbManufacturer), product = utf8(id.UsbProduct);
    const size_t s = galmor::Utf8ToUtf16(mfr)->size() + galmor::Utf8ToUtf16(product)->size();
    Check((result == galmor::ComposeResult::Ok) == (s <= galmor::cfg::kMaxStringChars));
    if (result != galmor::ComposeResult::Ok) return;
    const auto d = galmor::DecodeConfigBlock(block.data(), block.size());
    Check(d.has_value() && d->Canonical && d->HeaderOk && d->SerialOk);
    Check(d->Vid == id.Vid && d->Pid == id.Pid && d->Revision == data[7]);
    Check(d->UsbManufacturer == mfr && d->UsbProduct == product);
    Check(d->ScsiVendor == id.ScsiVendor && d->ScsiProduct == id.ScsiProduct);
    Check(d->SerialNumber == serial && d->TotalReserved == total && d->ReserveImage == reserve);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static galmor::PortRecord port;
    FuzzChipList(port, data, size);
    FuzzConfigBlock(data, size);
    FuzzComposeDecode(data, size);
    return 0;
}
