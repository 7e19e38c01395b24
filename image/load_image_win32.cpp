// The image travels inside the executable as the RT_RCDATA resource "BINFILE".
#include <windows.h>

#include "image/firmware_image.h"
#include "report/report.h"

void load_firmware_image(UpdateJob &job)
{
    HRSRC found = FindResourceA(nullptr, "BINFILE", RT_RCDATA);
    HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
    const void *bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr)
        fatal_error("The firmware image (resource BINFILE) is missing from this program");
    auto length = static_cast<int32_t>(SizeofResource(nullptr, found));
    if (!install_firmware_image(job, static_cast<const uint8_t *>(bytes), length))
        fatal_error("Not enough memory for the firmware image");
}
