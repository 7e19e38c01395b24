// The command line of device-sim.
#pragma once

#include <cstdint>
#include <string>

#include "sim/boot_loader.h"

struct DeviceSimArgs {
    std::string link;        // publish a new pseudo-terminal here
    std::string port;        // or use this serial device
    std::string image_path;  // what the flash should end up holding
    SimConfig config;
    uint32_t timeout_s = 120;
    uint32_t linger_ms = 1000;
    uint32_t stop_after_blocks = 0;  // 0: run until the reset
    bool trace = false;
    bool help = false;
};

// False with a one-line reason in `error` when the command line is not usable.
bool parse_device_sim_args(int argc, char **argv, DeviceSimArgs &args, std::string &error);

extern const char DEVICE_SIM_USAGE[];
