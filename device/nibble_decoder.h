// Decodes the host's wire stream back into the file and checks it: every
// byte 0x00..0x10, whole pairs, one terminator and nothing after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simdev {

class NibbleDecoder {
public:
    void feed(std::uint8_t wire_byte);

    const std::vector<std::uint8_t>& data() const { return data_; }
    bool terminated() const { return terminated_; }
    bool half_pair_pending() const { return half_pending_; }
    std::size_t wire_bytes() const { return wire_bytes_; }
    // Protocol faults in the order they were seen, each a readable sentence.
    const std::vector<std::string>& faults() const { return faults_; }

private:
    void fault(const std::string& what);

    std::vector<std::uint8_t> data_;
    std::vector<std::string> faults_;
    std::size_t wire_bytes_ = 0;
    std::uint8_t high_ = 0;
    bool half_pending_ = false;
    bool terminated_ = false;
};

}  // namespace simdev
