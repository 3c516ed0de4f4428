// Bulk-only mass-storage transport: the device side of the USB wire protocol
// (command block wrapper, data phase, command status wrapper, the two class
// requests) in front of a command target. It knows nothing about how the
// bulk endpoints are reached (FunctionFS in the guest, a fake in the tests),
// nor about what the commands mean beyond the size of their data phase.
//
// Data-phase rules (host expects H bytes in a direction, the device intends
// D bytes in a direction):
//   - the device moves exactly H bytes in the host's direction: data-in is
//     padded with zeros after the D valid bytes (or, with `stall_short_in`,
//     the valid bytes are sent and bulk-in is halted), surplus data-out is
//     read and dropped; the residue is H - D;
//   - the host expecting less than the device intends is a phase error,
//     except for commands whose length field is an allocation length
//     (INQUIRY, REQUEST SENSE, MODE SENSE, vendor replies): they are cut;
//   - directions that disagree are a phase error, the host's data is still
//     moved (read and dropped, or zeros sent) so the pipe stays in step;
//   - a failed command reports residue H.
// An invalid or meaningless command block halts both bulk endpoints; they
// stay halted (every later block is refused) until a Bulk-Only Mass Storage
// Reset.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "simdev/device.h"

namespace simgadget {

constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr size_t kCbwSize = 31;
constexpr size_t kCswSize = 13;
// Largest data phase the device buffers; longer commands are refused.
constexpr uint32_t kMaxTransfer = 16u << 20;

enum class CswStatus : uint8_t { Passed = 0, Failed = 1, PhaseError = 2 };

struct Cbw {
    uint32_t tag = 0;
    uint32_t length = 0;  // dCBWDataTransferLength
    bool in = false;      // bmCBWFlags bit 7 (only meaningful when length > 0)
    uint8_t lun = 0;
    uint8_t cb_len = 0;
    std::array<uint8_t, 16> cb{};
    std::span<const uint8_t> cdb() const { return {cb.data(), cb_len}; }
};

// A valid (31 bytes, signature) and meaningful (reserved bits zero, LUN in
// range, 1..16 command bytes) command block, or nothing.
std::optional<Cbw> parse_cbw(std::span<const uint8_t> bytes, uint8_t max_lun);
std::array<uint8_t, kCswSize> encode_csw(uint32_t tag, uint32_t residue, CswStatus status);

// What the device intends to move for a command, or nothing when the CDB does
// not say (vendor commands: the host's length and direction are taken).
struct Shape {
    simdev::Direction dir = simdev::Direction::None;
    uint32_t length = 0;
    bool allocation = false;  // the host may ask for less: the reply is cut
};
std::optional<Shape> shape_of(std::span<const uint8_t> cdb);

// The two bulk endpoints.
class Pipe {
  public:
    virtual ~Pipe() = default;
    // One bulk-out transfer of at most `n` bytes: bytes received, or < 0 when
    // the transfer was aborted (reset, disconnect, error).
    virtual long receive(uint8_t* buf, size_t n) = 0;
    // One bulk-in transfer; false when it was aborted.
    virtual bool send(const uint8_t* buf, size_t n) = 0;
    virtual bool halt_in() = 0;
    virtual bool halt_out() = 0;
};

// The logical units commands go to.
class Target {
  public:
    virtual ~Target() = default;
    virtual size_t luns() const = 0;
    // nothing: the command did not reach a device (it is gone).
    virtual std::optional<simdev::Response> execute(uint8_t lun, const simdev::Request& req) = 0;
};

// A SETUP packet on the control endpoint.
struct Setup {
    uint8_t request_type = 0, request = 0;
    uint16_t value = 0, index = 0, length = 0;
};
// Answer to a class request: stall, or the data stage (empty = status only).
struct ControlReply {
    bool stall = true;
    std::vector<uint8_t> data;
};

struct TransportOptions {
    bool stall_short_in = false;
    uint8_t interface_number = 0;
};

class Transport {
  public:
    Transport(Pipe& pipe, Target& target, TransportOptions opts = {})
        : pipe_(pipe), target_(target), opts_(opts) {}

    enum class Step {
        Done,     // a CSW was sent
        Refused,  // invalid command block, or still waiting for the reset
        Aborted,  // an endpoint transfer failed: reset or disconnect
    };
    // Serves one command: command block, data phase, status.
    Step serve_one();

    // Get Max LUN and Bulk-Only Mass Storage Reset; anything else stalls.
    // May be called from another thread than serve_one.
    ControlReply control(const Setup& s);
    // Bumped by every reset; the endpoint layer aborts transfers in flight.
    uint64_t resets() const { return resets_.load(); }
    bool waiting_for_reset() const { return wedged_.load(); }

    struct Counters {
        uint64_t commands = 0, failed = 0, phase_errors = 0, refused = 0;
    };
    Counters counters() const { return counters_; }

  private:
    bool receive_exact(uint8_t* buf, uint32_t n, uint32_t* got);
    bool drain(uint32_t n);
    bool send_in(const uint8_t* data, uint32_t valid, uint32_t h);
    Step finish(const Cbw& cbw, uint32_t residue, CswStatus status);
    uint8_t max_lun() const;

    Pipe& pipe_;
    Target& target_;
    TransportOptions opts_;
    std::atomic<bool> wedged_{false};
    std::atomic<uint64_t> resets_{0};
    std::vector<uint8_t> buf_;
    Counters counters_;
};

}  // namespace simgadget
