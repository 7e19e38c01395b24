// Writes the deterministic sample image that the build embeds when no
// firmware file is given. It is not a firmware: it only gives the update real
// bytes to carry, with every byte value present, runs of 0x00 and 0xFF, and a
// length that is not a whole number of kilobytes, so that padding is exercised.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

static const long SAMPLE_IMAGE_SIZE = 116500;

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_sample_image OUTPUT\n");
        return 2;
    }
    std::FILE *out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    uint32_t state = 0x2545F491;  // xorshift32, fixed seed
    for (long i = 0; i < SAMPLE_IMAGE_SIZE; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        int byte = static_cast<int>(state >> 24);
        if (i % 4096 < 64)
            byte = 0x00;
        else if (i % 4096 < 128)
            byte = 0xFF;
        std::fputc(byte, out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
