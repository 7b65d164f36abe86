// The received file goes to a temporary file beside its name and takes the
// name only after a complete, clean upload, so that a partial file never
// looks like a good one. It is made before waiting: a path that cannot be
// written is found at once, not after the whole upload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace device_tool {

struct OutFile {
    std::string target;
    std::string temporary;
    int fd = -1;
};

// false with errno set when it cannot be made.
bool make_out_file(const std::string& target, OutFile& out);
// Writes the data and gives it its name; false with errno set, and no file
// left behind, when that fails.
bool finish_out_file(OutFile& out, const std::vector<std::uint8_t>& data);
// Removes the temporary file, if there is one.
void drop_out_file(OutFile& out);

// The name of the n-th of several uploads: "-n" before the extension of the
// file's name, "received.bin" -> "received-2.bin", "dump" -> "dump-2".
std::string numbered_name(const std::string& name, std::size_t n);

}  // namespace device_tool
