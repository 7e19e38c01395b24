// Prints what a release record says of a firmware file: its size, the padded
// size and block count the tool will send, and the CRC the device must report,
// through the tool's own padding, trace and CRC code. Built for the build
// machine (the host build) for scripts/release, which puts it into the record.
//
//   image-record FILE    exit 0; 2 when FILE cannot be released; 1 when unreadable
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "protocol/update_job.h"

static int refuse(const char *path, const char *why)
{
    std::fprintf(stderr, "image-record: %s: %s\n", path, why);
    return 2;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: image-record FIRMWARE_FILE\n");
        return 2;
    }
    const char *path = argv[1];
    std::error_code error;
    auto status = std::filesystem::status(path, error);
    if (!std::filesystem::exists(status))
        return refuse(path, "no such file");
    if (std::filesystem::is_directory(status))
        return refuse(path, "a folder, not a firmware file");
    if (!std::filesystem::is_regular_file(status))
        return refuse(path, "not a regular file");
    auto size = std::filesystem::file_size(path, error);
    if (error)
        return refuse(path, error.message().c_str());
    if (size == 0)
        return refuse(path, "empty; the tool needs at least one byte to write");
    if (size > static_cast<uintmax_t>(MAX_IMAGE_LEN)) {
        std::fprintf(stderr,
                     "image-record: %s: %ju bytes is too large; the tool carries at most %" PRId32
                     " bytes (%#" PRIx32 "), as it reads the image's length as a signed 32-bit number\n",
                     path, static_cast<uintmax_t>(size), MAX_IMAGE_LEN, MAX_IMAGE_LEN);
        return 2;
    }

    std::vector<uint8_t> bytes;
    if (!read_image_file(path, bytes) || bytes.size() != size) {
        std::fprintf(stderr, "image-record: %s: cannot read it whole\n", path);
        return 1;
    }
    UpdateJob job{};
    auto length = static_cast<int32_t>(bytes.size());
    int32_t padded = padded_image_size(length);
    std::printf("firmware size:      %" PRId32 " bytes\n", length);
    std::printf("padded size:        %" PRId32 " bytes (%#" PRIx32 "), zero-filled to whole KiB\n", padded,
                padded);
    std::printf("blocks:             %" PRId32 " of %" PRId32 " bytes\n", padded / BLOCK_LEN, BLOCK_LEN);
    // The tool's own installation of the image traces the base and size lines.
    std::printf("The trace of an update with this executable holds these lines; the device's\n"
                "\"Remote CRC\" line must show the same value as \"Local  CRC\":\n");
    if (!install_firmware_image(job, bytes.data(), length)) {
        std::fprintf(stderr, "image-record: not enough memory for %s\n", path);
        return 1;
    }
    uint16_t crc = crc16_modbus(job.image, job.image_size);
    std::printf("Local  CRC %#x\n", crc);  // as the job traces it
    return std::fflush(stdout) == 0 ? 0 : 1;
}
