// A platform that records what reaches it and answers as told.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace cmdlib_test {

struct Sent {
    sarnik::PassThroughBlock block;  // as it reached the platform
    void* data = nullptr;
    std::vector<uint8_t> out_bytes;  // data-out bytes at the time of the call
};

class FakePlatform : public sarnik::Platform {
  public:
    std::vector<std::string> disks, cds;
    bool fail_open = false;
    std::vector<std::string> opened;

    // Answer of the next commands.
    bool deliver = true;
    uint8_t status = 0;
    std::optional<uint32_t> transferred;  // default: the whole requested length
    std::vector<uint8_t> reply;           // data-in bytes (repeated pattern when short)

    bool copy_out = true;  // keep a copy of data-out bytes (needs a buffer as long as asked)
    std::vector<Sent> sent;
    std::vector<sarnik::BufferedPassThroughBlock> buffered;

    std::optional<sarnik::DriveLayout> layout;
    std::optional<uint32_t> rescan_result = 0u;
    int rescans = 0;

    bool filter_present = false;
    std::vector<uint32_t> filter_codes;
    bool filter_answer = true;

    std::optional<std::string> interface_path(sarnik::UnitClass cls, uint32_t index) override {
        const auto& v = cls == sarnik::UnitClass::Disk ? disks : cds;
        if (index >= v.size()) return {};
        return v[index];
    }

    int open(const std::string& path) override {
        opened.push_back(path);
        if (fail_open) {
            errno = EBUSY;
            return -1;
        }
        return ::open("/dev/null", O_RDWR | O_CLOEXEC);
    }

    bool pass_through(int, sarnik::PassThroughBlock& block, void* data) override {
        Sent s{block, data, {}};
        const uint32_t len = block.DataTransferLength;
        if (copy_out && block.DataIn == sarnik::kDataOut && data && len) {
            auto* p = static_cast<uint8_t*>(data);
            s.out_bytes.assign(p, p + len);
        }
        sent.push_back(s);
        if (!deliver) return false;
        if (block.DataIn == sarnik::kDataIn && data && len && !reply.empty()) {
            auto* p = static_cast<uint8_t*>(data);
            for (uint32_t i = 0; i < len; ++i) p[i] = reply[i % reply.size()];
        }
        block.ScsiStatus = status;
        if (transferred) block.DataTransferLength = *transferred;
        return true;
    }

    bool pass_through_buffered(int, sarnik::BufferedPassThroughBlock& block) override {
        buffered.push_back(block);
        if (!deliver) return false;
        block.ScsiStatus = status;
        for (size_t i = 0; i < sizeof block.Data && !reply.empty(); ++i) {
            block.Data[i] = reply[i % reply.size()];
        }
        if (transferred) block.DataTransferLength = *transferred;
        return true;
    }

    std::optional<uint32_t> rescan(int) override {
        ++rescans;
        return rescan_result;
    }

    std::optional<sarnik::DriveLayout> drive_layout(int) override { return layout; }

    int open_filter_control() override {
        if (!filter_present) return -1;
        return ::open("/dev/null", O_RDWR | O_CLOEXEC);
    }

    bool filter_request(int, uint32_t code) override {
        filter_codes.push_back(code);
        return filter_answer;
    }

    // Device services: the list, the tree, and every change and pause in order.
    std::optional<std::vector<sarnik::DeviceNode>> devices = std::vector<sarnik::DeviceNode>{};
    std::vector<sarnik::DeviceNode> tree;
    std::vector<std::string> refuse;  // keys whose changes are not accepted
    std::vector<std::string> events;  // "disable KEY", "enable KEY", "pause MS"

    std::optional<std::vector<sarnik::DeviceNode>> usb_devices() override { return devices; }
    std::vector<sarnik::DeviceNode> device_tree() override { return tree; }
    bool set_device_enabled(const sarnik::DeviceNode& node, bool on) override {
        events.push_back(std::string(on ? "enable " : "disable ") + node.key);
        for (const auto& k : refuse) {
            if (k == node.key) return false;
        }
        return true;
    }
    void pause_ms(uint32_t ms) override { events.push_back("pause " + std::to_string(ms)); }

    std::vector<sarnik::Volume> volume_table;
    std::vector<sarnik::Volume> volumes() override { return volume_table; }
    bool volume_io(const sarnik::Volume&, uint64_t, uint32_t, uint8_t*, bool) override {
        return false;
    }
};

}  // namespace cmdlib_test
