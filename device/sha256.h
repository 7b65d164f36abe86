// SHA-256 of the received file, so that a user can compare it with the
// file sent (sha256sum) without copying it around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simdev {

std::string sha256_hex(const std::vector<std::uint8_t>& data);

}  // namespace simdev
