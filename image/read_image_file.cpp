#include <fstream>
#include <iterator>

#include "image/firmware_image.h"

bool read_image_file(const char *path, std::vector<uint8_t> &bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}
