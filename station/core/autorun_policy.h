// The drive autorun setting: turned off for all drive types while the station
// runs, so that the desktop does not act on disks under production, and put
// back at shutdown.
#pragma once

#include <cstdint>
#include <optional>

namespace galmor {

// Autorun off for every drive type.
inline constexpr uint32_t kAutorunOffForAllDrives = 0xFFFFFFFF;

// Where the platform keeps the setting.
class AutorunStore {
  public:
    virtual ~AutorunStore() = default;
    // false when the setting cannot be reached: nothing is written then.
    virtual bool Open() = 0;
    virtual void Close() = 0;
    // The value, or nothing when it is not set. `ok` is false when it could
    // not be read.
    virtual std::optional<uint32_t> Read(bool* ok) = 0;
    virtual bool Write(uint32_t value) = 0;
    // Back to "not set".
    virtual bool Remove() = 0;
    // Tells running programs that the setting changed.
    virtual void Announce() = 0;
};

// Linux has no such setting (the desktop's automounting is a matter for the
// system's device rules): the store cannot be opened, so nothing is written.
class NoAutorunStore final : public AutorunStore {
  public:
    bool Open() override { return false; }
    void Close() override {}
    std::optional<uint32_t> Read(bool* ok) override {
        *ok = false;
        return std::nullopt;
    }
    bool Write(uint32_t) override { return false; }
    bool Remove() override { return false; }
    void Announce() override {}
};

// The station's use of the setting. Shutdown restores the value that start-up
// found (or removes the one it wrote, when none was set), rather than any
// fixed value, so the user's own setting survives the station.
class AutorunPolicy {
  public:
    explicit AutorunPolicy(AutorunStore& store) : store_(store) {}

    // Start-up: remembers the value found and writes "off for all drives".
    // false when nothing was written.
    bool TurnOff();
    // Shutdown: puts back what TurnOff found, if TurnOff wrote and the value
    // is still the one it wrote (a change made meanwhile is left alone).
    // false when nothing was written. A second call does nothing.
    bool Restore();

  private:
    AutorunStore& store_;
    bool written_ = false;
    std::optional<uint32_t> found_;
};

}  // namespace galmor
