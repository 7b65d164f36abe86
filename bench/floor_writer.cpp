// The floor of the CPU benchmark: the same wire stream as pelkron, one
// one-byte write() per wire byte, and nothing else: no echo, no settings.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORT FILE\n", argv[0]);
        return 2;
    }
    const int port = open(argv[1], O_RDWR | O_NOCTTY);
    std::FILE* input = std::fopen(argv[2], "rb");
    if (port < 0 || !input) return 1;
    for (int c; (c = std::getc(input)) != EOF;) {
        const unsigned char pair[2] = {static_cast<unsigned char>(c >> 4), static_cast<unsigned char>(c & 0x0F)};
        if (write(port, &pair[0], 1) != 1 || write(port, &pair[1], 1) != 1) return 4;
    }
    const unsigned char terminator = 0x10;
    return write(port, &terminator, 1) == 1 ? 0 : 4;
}
