// SHA-256, for the digest of a file sent (the uploaders' summary) and of a
// file received (the simulated device's), so that a user can compare the
// two with each other and with sha256sum.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A digest being made: bytes are added as they come, so that a file is
// never held in memory whole.
struct Sha256 {
    std::array<std::uint32_t, 8> state;
    std::uint8_t chunk[64];
    std::size_t chunk_used;
    std::uint64_t length;  // bytes added so far
};

void sha256_start(Sha256& digest);
void sha256_add(Sha256& digest, const std::uint8_t* bytes, std::size_t size);
// The digest in lower-case hexadecimal, as sha256sum prints it. `digest`
// is used up.
std::string sha256_finish_hex(Sha256& digest);

// All of `data` at once.
std::string sha256_hex(const std::vector<std::uint8_t>& data);
