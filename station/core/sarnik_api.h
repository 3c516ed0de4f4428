// The station's view of the command library: libsarnik.so is loaded on first
// use with dlopen and every export is resolved by name. All disk I/O of the
// station goes through `Sarnik`, which also honours a worker's stop request
// before each command.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace galmor {

struct SarnikExports {
    int32_t (*GetDiskHandle)(int32_t) = nullptr;
    int32_t (*GetCDHandle)(int32_t) = nullptr;
    int32_t (*LockUnit)(int32_t) = nullptr;
    void (*UnlockUnit)(int32_t, int32_t) = nullptr;
    int32_t (*TestUnitReady)(int32_t) = nullptr;
    int32_t (*Read)(int32_t, int32_t, int32_t, void*) = nullptr;
    int32_t (*Write)(int32_t, int32_t, int32_t, void*) = nullptr;
    int32_t (*VendorR)(int32_t, int32_t, void*) = nullptr;
    int32_t (*VendorW)(int32_t, int32_t, int32_t, void*) = nullptr;
    int32_t (*VendorScan)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                          void*) = nullptr;
    int32_t (*VendorWrite)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t,
                           int32_t, int32_t, int32_t, void*) = nullptr;
    int32_t (*GetUnitLocation)(int32_t, char*, int32_t, char*, int32_t, int64_t*) = nullptr;
    int32_t (*GetUnitNode)(int32_t, char*, int32_t) = nullptr;
};

// Where a unit hangs on USB: its device's port path ("1-1.3"), the device's
// USB serial ("" when none) and the unit's capacity in sectors.
struct UnitLocation {
    std::string port;
    std::string serial;
    int64_t sectors = 0;
    std::string node;  // the device node the unit is opened on ("/dev/sg3"), "" when unknown
};

// Thrown inside a worker when its stop was requested; caught at the worker's
// top, never crosses a thread.
struct StopRequested {};

// A cooperative stop flag, installed per worker thread (see StopScope).
class StopToken {
  public:
    void request() { flag_.store(true, std::memory_order_release); }
    bool requested() const { return flag_.load(std::memory_order_acquire); }

  private:
    std::atomic<bool> flag_{false};
};

// Installs `token` as the calling thread's stop token for the scope's life.
class StopScope {
  public:
    explicit StopScope(const StopToken* token);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

  private:
    const StopToken* previous_;
};

// Throws StopRequested when the calling thread's stop token is set.
void CheckStop();

// The command library as the steps use it: one call per export. A fake
// implements it in tests; Sarnik is the real library.
class SarnikApi {
  public:
    virtual ~SarnikApi() = default;
    virtual int32_t GetDiskHandle(int32_t index) = 0;
    virtual int32_t GetCDHandle(int32_t index) = 0;
    // The unit's exclusive lock: a lock handle (> 0), or 0 with errno
    // EWOULDBLOCK when another program holds the unit. UnlockUnit never throws.
    virtual int32_t LockUnit(int32_t h) = 0;
    virtual void UnlockUnit(int32_t h, int32_t lock) noexcept = 0;
    virtual int32_t TestUnitReady(int32_t h) = 0;
    virtual int32_t Read(int32_t h, int32_t count, int32_t lba, void* buf) = 0;
    virtual int32_t Write(int32_t h, int32_t count, int32_t lba, void* buf) = 0;
    virtual int32_t VendorR(int32_t h, int32_t c0, void* buf) = 0;
    virtual int32_t VendorW(int32_t h, int32_t c0, int32_t length, void* buf) = 0;
    virtual int32_t VendorScan(int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t c3,
                               int32_t c4, int32_t c5, int32_t length, void* buf) = 0;
    virtual int32_t VendorWrite(int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t c3,
                                int32_t c4, int32_t c5, int32_t c6, int32_t c7, int32_t c8,
                                int32_t count, void* buf) = 0;
    virtual int16_t KillEXE() = 0;
    virtual bool Loaded() const = 0;
    // Where the unit hangs; false when that is not known. Sends the device
    // nothing.
    virtual bool GetUnitLocation(int32_t h, UnitLocation* out) {
        (void)h;
        (void)out;
        return false;
    }
};

// libsarnik.so. Before Load has succeeded every call fails as the library
// reports a failure (0, no handle) without calling anything, and counts
// itself in UnloadedCalls.
class Sarnik final : public SarnikApi {
  public:
    // Loads libsarnik.so (next to the executable first, then the library
    // path). Returns false with a message when the library or an export is
    // missing.
    bool Load(std::string* error);
    bool Loaded() const override { return loaded_.load(std::memory_order_acquire); }
    // Calls made while the library was not loaded.
    int UnloadedCalls() const { return unloaded_calls_.load(); }

    int32_t GetDiskHandle(int32_t index) override;
    int32_t GetCDHandle(int32_t index) override;
    int32_t LockUnit(int32_t h) override;
    void UnlockUnit(int32_t h, int32_t lock) noexcept override;
    int32_t TestUnitReady(int32_t h) override;
    int32_t Read(int32_t h, int32_t count, int32_t lba, void* buf) override;
    int32_t Write(int32_t h, int32_t count, int32_t lba, void* buf) override;
    int32_t VendorR(int32_t h, int32_t c0, void* buf) override;
    int32_t VendorW(int32_t h, int32_t c0, int32_t length, void* buf) override;
    int32_t VendorScan(int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t c3, int32_t c4,
                       int32_t c5, int32_t length, void* buf) override;
    int32_t VendorWrite(int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t c3, int32_t c4,
                        int32_t c5, int32_t c6, int32_t c7, int32_t c8, int32_t count,
                        void* buf) override;
    // The outside library's export; ours does nothing.
    int16_t KillEXE() override;
    bool GetUnitLocation(int32_t h, UnitLocation* out) override;
    // Closes a handle the library returned (0 is ignored).
    static void CloseHandle(int32_t h);

  private:
    // Checks the stop request, then whether the library is there.
    bool Ready();

    SarnikExports x_;
    std::atomic<bool> loaded_{false};
    std::atomic<int> unloaded_calls_{0};
};

}  // namespace galmor
