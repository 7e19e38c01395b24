// The firmware image the tool carries, padded with zero bytes to whole blocks.
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/update_job.h"

// The longest image the tool carries: its length is a signed 32-bit number,
// and so is the padded size (2 GiB less 1 KiB). The frames' 32-bit addresses
// from the base would allow more.
constexpr int32_t MAX_IMAGE_LEN = INT32_MAX / BLOCK_LEN * BLOCK_LEN;
static_assert(FLASH_IMAGE_BASE + uint64_t{MAX_IMAGE_LEN} <= UINT64_C(0x100000000),
              "the last block's address must fit the frames' 32 bits");

// Padded size for an image of `length` bytes (at most MAX_IMAGE_LEN): whole
// kilobytes, at least one.
int32_t padded_image_size(int32_t length);

// Copies the image into a new zero-filled buffer of the padded size, records
// it with its base address in the job, and traces base and size. Returns
// false when the image is longer than MAX_IMAGE_LEN or the buffer cannot be had.
bool install_firmware_image(UpdateJob &job, const uint8_t *bytes, int32_t length);

// Reads a whole image file for the builds that take the image from a file
// (the Linux runner, the simulators, the tests). False when it cannot be read.
bool read_image_file(const char *path, std::vector<uint8_t> &bytes);

// Finds the image embedded in the executable and installs it.
void load_firmware_image(UpdateJob &job);
