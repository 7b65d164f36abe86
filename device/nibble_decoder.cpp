#include "device/nibble_decoder.h"

#include <cstdio>

namespace simdev {

namespace {

constexpr std::uint8_t terminator = 0x10;
constexpr std::size_t max_faults_kept = 100;  // a runaway sender must not eat memory

std::string hex(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

}  // namespace

void NibbleDecoder::fault(const std::string& what) {
    if (faults_.size() < max_faults_kept) faults_.push_back(what);
}

void NibbleDecoder::feed(std::uint8_t wire_byte) {
    const std::size_t offset = wire_bytes_++;
    if (terminated_) {
        fault("byte " + hex(wire_byte) + " at offset " + std::to_string(offset) + " after the terminator");
        return;
    }
    if (wire_byte == terminator) {
        if (half_pending_) fault("terminator at offset " + std::to_string(offset) + " after half a pair");
        half_pending_ = false;
        terminated_ = true;
        return;
    }
    if (wire_byte > 0x0F) {
        fault("wire byte " + hex(wire_byte) + " at offset " + std::to_string(offset) +
              " is neither a nibble nor the terminator");
        return;
    }
    if (!half_pending_) {
        high_ = wire_byte;
        half_pending_ = true;
    } else {
        data_.push_back(static_cast<std::uint8_t>((high_ << 4) | wire_byte));
        half_pending_ = false;
    }
}

}  // namespace simdev
