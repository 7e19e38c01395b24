// The firmware image the tool carries, padded with zero bytes to whole blocks.
#pragma once

#include <cstdint>
#include <vector>

struct UpdateJob;

// Padded size for an image of `length` bytes: whole kilobytes, at least one.
int32_t padded_image_size(int32_t length);

// Copies the image into a new zero-filled buffer of the padded size, records
// it with its base address in the job, and traces base and size. Returns
// false when the buffer cannot be had.
bool install_firmware_image(UpdateJob &job, const uint8_t *bytes, int32_t length);

// Reads a whole image file for the builds that take the image from a file
// (the Linux runner, the simulators, the tests). False when it cannot be read.
bool read_image_file(const char *path, std::vector<uint8_t> &bytes);

// Finds the image embedded in the executable and installs it.
void load_firmware_image(UpdateJob &job);
