#include "commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "files.h"

namespace sarnik::cmd {

namespace {

uint8_t low8(int32_t v) {
    return static_cast<uint8_t>(static_cast<uint32_t>(v) & 0xFF);
}

uint32_t sectors_to_bytes(int32_t count) {
    return static_cast<uint32_t>(count) * 512u;
}

// Sends the block. Success: the request reached the device and it answered
// with GOOD status.
bool issue(Platform& p, int32_t h, PassThroughBlock& b, void* data) {
    if (h <= 0) return false;
    if (b.DataTransferLength > 0 && data == nullptr) return false;
    if (!p.pass_through(h, b, data)) return false;
    return b.ScsiStatus == 0;
}

// The bytes actually moved by a completed command.
uint32_t moved(const PassThroughBlock& b, uint32_t requested) {
    return std::min(b.DataTransferLength, requested);
}

// Replaces the dump; false when the library's folder refused it.
bool dump(const void* data, size_t len) {
    return replace_file(prepare_root(), kDumpFile, data, len);
}

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A zeroed library buffer of `len` bytes (at least one), or null.
std::unique_ptr<uint8_t, FreeDeleter> library_buffer(uint32_t len) {
    return std::unique_ptr<uint8_t, FreeDeleter>(
        static_cast<uint8_t*>(std::calloc(std::max<uint32_t>(len, 1), 1)));
}

int32_t rw10(Platform& p, int32_t h, uint8_t opcode, uint8_t data_in, uint32_t timeout,
             int32_t count, int32_t lba, void* buffer) {
    PassThroughBlock b = make_block(10, data_in, sectors_to_bytes(count), timeout, buffer);
    const uint32_t a = static_cast<uint32_t>(lba);
    b.Cdb[0] = opcode;
    b.Cdb[2] = static_cast<uint8_t>(a >> 24);
    b.Cdb[3] = static_cast<uint8_t>(a >> 16);
    b.Cdb[4] = static_cast<uint8_t>(a >> 8);
    b.Cdb[5] = static_cast<uint8_t>(a);
    b.Cdb[7] = 0;
    b.Cdb[8] = low8(count);
    return issue(p, h, b, buffer) ? 1 : 0;
}

template <size_t N>
void fill_cdb(PassThroughBlock& b, const int32_t (&c)[N]) {
    static_assert(N <= sizeof b.Cdb);
    for (size_t i = 0; i < N; ++i) b.Cdb[i] = low8(c[i]);
}

}  // namespace

namespace {

// An open that cannot keep its log opens nothing: a caller would read a
// stale path back and take it for the unit it got.
int32_t log_refused(const std::string& why) {
    std::fprintf(stderr, "sarnik: the device-path log cannot be written: %s\n", why.c_str());
    errno = EACCES;
    return 0;
}

int32_t not_opened() {
    errno = 0;
    return 0;
}

// The unit is there (its path is logged) but the open failed: errno keeps the
// system's reason, so that a caller can tell it to the operator.
int32_t open_failed() {
    if (errno == 0) errno = EIO;
    return 0;
}

}  // namespace

int32_t open_unit(Platform& p, UnitClass cls, int32_t index) {
    std::string why;
    const std::string root = prepare_root(&why);
    if (root.empty()) return log_refused(why);
    const std::string log = root + "/" + kLogFile;
    // The log exists and is empty until a unit is found.
    if (!replace_file(root, kLogFile, "", 0)) return log_refused(log + " cannot be replaced");
    if (index < 0) return not_opened();
    const auto path = p.interface_path(cls, static_cast<uint32_t>(index));
    if (!path) return not_opened();
    const std::string line = *path + "\n";
    if (!replace_file(root, kLogFile, line.data(), line.size())) {
        return log_refused(log + " cannot be replaced");
    }
    int fd = p.open(*path);
    if (fd < 0) return open_failed();
    if (fd == 0) {
        // 0 means "no device" to the caller: move the descriptor up.
        const int moved_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
        const int err = errno;
        ::close(fd);
        errno = err;
        if (moved_fd < 0) return open_failed();
        fd = moved_fd;
    }
    return fd;
}

int32_t test_unit_ready(Platform& p, int32_t h) {
    uint8_t scratch[512] = {};  // the library's buffer; no data moves
    PassThroughBlock b = make_block(10, kDataIn, 0, kTimeoutShort, scratch);
    return issue(p, h, b, scratch) ? 1 : 0;
}

int32_t read10(Platform& p, int32_t h, int32_t count, int32_t lba, void* buffer) {
    return rw10(p, h, 0x28, kDataIn, kTimeoutLong, count, lba, buffer);
}

int32_t write10(Platform& p, int32_t h, int32_t count, int32_t lba, void* buffer) {
    return rw10(p, h, 0x2A, kDataOut, kTimeoutShort, count, lba, buffer);
}

int32_t read_capacity10(Platform& p, int32_t h, void* buffer) {
    PassThroughBlock b = make_block(10, kDataIn, 8, kTimeoutShort, buffer);
    b.Cdb[0] = 0x25;
    if (!issue(p, h, b, buffer)) return 0;
    return static_cast<int32_t>(b.DataTransferLength);
}

int32_t eject(Platform& p, int32_t h, int32_t opcode, int32_t byte4) {
    PassThroughBlock b = make_block(10, kDataOut, 0, kTimeoutMedium, nullptr);
    b.Cdb[0] = low8(opcode);
    b.Cdb[4] = low8(byte4);
    return issue(p, h, b, nullptr) ? 1 : 0;
}

int32_t mode_sense(Platform& p, int32_t h) {
    BufferedPassThroughBlock b{};
    b.Length = kPassThroughLength;
    b.TargetId = kTargetId;
    b.CdbLength = 6;
    b.SenseInfoLength = kBufferedSenseInfoLength;
    b.DataIn = kDataIn;
    b.DataTransferLength = kBufferedDataLength;
    b.TimeOutValue = kTimeoutShort;
    b.DataBufferOffset = kBufferedDataOffset;
    b.SenseInfoOffset = kSenseInfoOffset;
    b.Cdb[0] = 0x1A;
    b.Cdb[2] = 0x1C;
    b.Cdb[4] = 0xC0;
    if (h > 0) p.pass_through_buffered(h, b);
    // The caller sees the outcome only through the dump, whatever it was.
    dump(&b, sizeof b);
    return 0;
}

int32_t drive_layout(Platform& p, int32_t h) {
    if (h <= 0) return 0;
    const auto layout = p.drive_layout(h);
    if (!layout) return 0;
    uint8_t out[40];
    const auto n = encode_drive_layout(*layout, out, sizeof out);
    return n ? static_cast<int32_t>(*n) : 0;
}

int32_t rescan(Platform& p, int32_t h) {
    if (h <= 0) return 0;
    const auto n = p.rescan(h);
    return n ? static_cast<int32_t>(std::min<uint32_t>(*n, 4)) : 0;
}

int32_t vendor_r(Platform& p, int32_t h, int32_t c0, void* buffer) {
    PassThroughBlock b = make_block(10, kDataIn, 512, kTimeoutShort, buffer);
    b.Cdb[0] = low8(c0);
    return issue(p, h, b, buffer) ? 1 : 0;
}

int32_t vendor_w(Platform& p, int32_t h, int32_t c0, int32_t length, void* buffer) {
    PassThroughBlock b =
        make_block(10, kDataOut, static_cast<uint32_t>(length), kTimeoutLong, buffer);
    b.Cdb[0] = low8(c0);
    return issue(p, h, b, buffer) ? 1 : 0;
}

int32_t vendor(Platform& p, int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t length) {
    if (h <= 0) return 0;
    const uint32_t len = static_cast<uint32_t>(length);
    auto data = library_buffer(len);
    if (!data) return 0;
    PassThroughBlock b = make_block(10, kDataIn, len, kTimeoutLong, data.get());
    fill_cdb(b, {c0, c1, c2});
    if (!issue(p, h, b, data.get())) return 0;
    // The dump is the caller's only copy of the data: without it the command
    // has given the caller nothing.
    return dump(data.get(), moved(b, len)) ? 1 : 0;
}

int32_t vendor_scan(Platform& p, int32_t h, const int32_t (&c)[6], int32_t length, void* buffer) {
    PassThroughBlock b =
        make_block(10, kDataIn, static_cast<uint32_t>(length), kTimeoutLong, buffer);
    fill_cdb(b, c);
    return issue(p, h, b, buffer) ? 1 : 0;
}

int32_t write_1m(Platform& p, int32_t h, const int32_t (&c)[13], void* buffer) {
    PassThroughBlock b = make_block(16, kDataOut, 512, kTimeoutMedium, buffer);
    fill_cdb(b, c);
    if (!issue(p, h, b, buffer)) return 0;
    dump(buffer, moved(b, 512));
    return 1;
}

int32_t read_1m(Platform& p, int32_t h, const int32_t (&c)[13]) {
    uint8_t data[512] = {};
    PassThroughBlock b = make_block(16, kDataIn, sizeof data, kTimeoutMedium, data);
    fill_cdb(b, c);
    if (!issue(p, h, b, data)) return 0;
    return dump(data, moved(b, sizeof data)) ? 1 : 0;
}

int32_t vendor_write(Platform& p, int32_t h, const int32_t (&c)[9], int32_t count, void* buffer) {
    const uint32_t len = sectors_to_bytes(count);
    PassThroughBlock b = make_block(16, kDataOut, len, kTimeoutMedium, buffer);
    fill_cdb(b, c);
    if (!issue(p, h, b, buffer)) return 0;
    dump(buffer, moved(b, len));
    return 1;
}

int32_t vendor_read(Platform& p, int32_t h, const int32_t (&c)[9], int32_t count, void* buffer) {
    PassThroughBlock b = make_block(16, kDataIn, sectors_to_bytes(count), kTimeoutMedium, buffer);
    fill_cdb(b, c);
    return issue(p, h, b, buffer) ? 1 : 0;
}

int32_t vendor_capacity(Platform& p, int32_t h, void* buffer) {
    PassThroughBlock b = make_block(10, kDataIn, 512, kTimeoutShort, buffer);
    b.Cdb[0] = 0x9A;
    if (!issue(p, h, b, buffer)) return 0;
    return static_cast<int32_t>(b.DataTransferLength);
}

int32_t set_configuration(Platform& p) {
    const int fd = p.open_filter_control();
    if (fd < 0) return 0;
    // The driver's answer does not change the result.
    p.filter_request(fd, kIoctlFilterSetConfiguration);
    ::close(fd);
    return 1;
}

}  // namespace sarnik::cmd
