// Faults of the USB front end (see faults.h).
#include "faults.h"

#include <cerrno>
#include <cstdlib>

namespace simgadget {

std::optional<WireFaultAt> parse_wire_fault(const std::string& text, WireFault kind) {
    const size_t colon = text.find(':');
    const std::string op = text.substr(0, colon);
    if (op.empty() || op.size() > 2) return std::nullopt;
    char* end = nullptr;
    const unsigned long code = std::strtoul(op.c_str(), &end, 16);
    if (*end != '\0') return std::nullopt;
    WireFaultAt f;
    f.opcode = static_cast<uint8_t>(code);
    f.kind = kind;
    if (colon != std::string::npos) {
        const std::string nth = text.substr(colon + 1);
        if (nth.empty() || nth.find_first_not_of("0123456789") != std::string::npos ||
            nth.size() > 9) {
            return std::nullopt;
        }
        f.nth = static_cast<uint32_t>(std::strtoul(nth.c_str(), nullptr, 10));
        if (f.nth == 0) return std::nullopt;
    }
    return f;
}

std::optional<WireFault> WireFaultPlan::next(uint8_t opcode) {
    const uint64_t n = ++seen_[opcode];
    for (const auto& f : faults_) {
        if (f.opcode == opcode && f.nth == n) return f.kind;
    }
    return std::nullopt;
}

}  // namespace simgadget
