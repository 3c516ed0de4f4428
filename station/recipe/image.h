// An image file of the recipe (the loader disk image, the reserve image). The
// station never holds a whole image: each writer and each compare reads the
// piece it needs when it needs it, so an image costs the same memory whatever
// its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace galmor {

class ImageFile {
  public:
    enum class OpenResult { Ok, Missing, Unreadable };

    // Opens a regular file for reading; anything else at the path is missing.
    // The file stays open while any copy of the ImageFile lives, so every disk
    // gets the file that was loaded, even when another file is put in its
    // place later.
    static OpenResult Open(const std::string& path, ImageFile& out);

    // Bytes of the file as it was opened; 0 without an image.
    uint64_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // Copies `len` bytes from `offset` into `buf`; what lies past the end of
    // the file reads as zeros (the image ends in a zero-padded sector). False
    // when the file cannot be read, or has changed since it was opened (a
    // disk must never get half of one image and half of another).
    bool Read(uint64_t offset, size_t len, uint8_t* buf) const;

  private:
    struct File;
    std::shared_ptr<const File> file_;
    uint64_t size_ = 0;
};

// Sizes every layout of a disk keeps to, in sectors.
// One megabyte kept out of the user or reserved area when the recipe asks.
constexpr int64_t kOneMegSectors = 2048;
// The smallest user area the station lays out.
constexpr int64_t kMinUserArea = 512;
// Sectors per megabyte of flash as the controller counts them.
constexpr int64_t kSectorsPerMb = 2000;
// The largest flash a controller of the family reports: its chip list's
// megabytes are counted in 16 bits.
constexpr int64_t kLargestFlashSectors = 32767 * kSectorsPerMb;

// Sector counts the station gives an image of `bytes` bytes.
// The loader disk: rounded up, so that the last partial sector is written
// whole (zero-padded), then to an even count, as the controller takes the
// loader disk's size in kilobytes.
int64_t LoaderSectorsFor(uint64_t bytes);
// The reserve image: the smallest count that holds it.
int64_t ReserveSectorsFor(uint64_t bytes);

}  // namespace galmor
