// The padding rule on its own, without the tool's trace, so that the
// simulated device judges its flash by the same rule.
#include "image/firmware_image.h"

int32_t padded_image_size(int32_t length)
{
    if (length <= 0)
        return BLOCK_LEN;
    return ((length - 1) / BLOCK_LEN + 1) * BLOCK_LEN;
}
