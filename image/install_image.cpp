#include <cstdlib>
#include <cstring>

#include "image/firmware_image.h"
#include "protocol/update_job.h"
#include "report/report.h"

bool install_firmware_image(UpdateJob &job, const uint8_t *bytes, int32_t length)
{
    if (length > MAX_IMAGE_LEN)
        return false;  // its padded size would not fit the length's type
    int32_t padded = padded_image_size(length);
    // Zero fill, not 0xFF: the fill is written and verified like the image itself.
    auto *image = static_cast<uint8_t *>(std::calloc(static_cast<size_t>(padded), 1));
    if (image == nullptr)
        return false;
    if (length > 0)
        std::memcpy(image, bytes, static_cast<size_t>(length));
    job.image = image;
    job.image_size = padded;
    job.base_address = FLASH_IMAGE_BASE;
    trace("\nFlash Image Base %#x\n", job.base_address);
    trace("Flash Image Size %#x bytes\n", job.image_size);
    return true;
}
