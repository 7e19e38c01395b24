// The command lines of device-sim and fwu-linux: what each word does, and
// the message a bad one gets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/linux_args.h"
#include "sim/device_sim_args.h"

namespace {

// Parses `words` after the program's name: "error: ..." or the settings that matter here.
template <typename Args, typename Describe>
std::string parsed(bool (*parse)(int, char **, Args &, std::string &), std::vector<std::string> words,
                   Describe describe)
{
    words.insert(words.begin(), "program");
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    Args args;
    std::string error;
    if (!parse(static_cast<int>(words.size()), argv.data(), args, error))
        return "error: " + error;
    return describe(args);
}

std::string sim(std::vector<std::string> words)
{
    return parsed(parse_device_sim_args, std::move(words), [](const DeviceSimArgs &a) {
        std::string rules;
        for (const SimFaultRule &rule : a.config.rules)
            rules += " " + std::string(sim_kind_name(rule.kind)) + std::to_string(rule.nth) + sim_fault_name(rule.fault);
        return a.help ? "help" : "link " + a.link + " port " + a.port + " timeout " + std::to_string(a.timeout_s) +
               " up " + std::to_string(a.config.power_up_ms) + (a.config.pace ? " pace" : "") +
               (a.trace ? " trace" : "") + rules;
    });
}

std::string linux_tool(std::vector<std::string> words)
{
    return parsed(parse_fwu_linux_args, std::move(words), [](const FwuLinuxArgs &a) {
        return a.help ? "help" : std::string("port ") + a.port_path + " image " + a.image_path + " limit " +
               std::to_string(a.limit_s);
    });
}

TEST(CommandLine, DeviceSimTakesItsOptionsAndNamesTheFirstWordAtFault)
{
    EXPECT_EQ(sim({"--link", "L", "--pace", "--trace", "--power-up-ms", "0x10", "--fault", "block:5:drop"}),
              "link L port  timeout 120 up 16 pace trace block5drop");
    EXPECT_EQ(sim({"--port=/dev/P", "--time", "7"}), "link  port /dev/P timeout 7 up 0");  // = and abbreviations
    EXPECT_EQ(sim({"--link", "L", "--help"}), "help");
    EXPECT_EQ(sim({"--link", "--pace"}), "link --pace port  timeout 120 up 0");  // a value is the next word
    for (std::string word : {"--bogus", "extra", "--pace=1", "-x", "--p"})
        EXPECT_EQ(sim({"--link", "L", word, "--help"}), "error: unknown option '" + word + "' (see --help)");
    EXPECT_EQ(sim({"--link", "L", "--", "extra"}), "error: unknown option 'extra' (see --help)");
    EXPECT_EQ(sim({"--link", "L", "--timeout-s"}), "error: --timeout-s needs a value (see --help)");
    EXPECT_EQ(sim({"--link", "L", "--timeout-s", "0"}), "error: bad value '0' for --timeout-s (see --help)");
    EXPECT_EQ(sim({"--link", "L", "--fault", "blok:1:drop"}), "error: bad value 'blok:1:drop' for --fault (see --help)");
    EXPECT_EQ(sim({"--link", ""}), "error: bad value '' for --link (see --help)");
    EXPECT_EQ(sim({"--link", "L", "--port", "P"}), "error: give exactly one of --link PATH and --port DEVICE (see --help)");
    EXPECT_EQ(sim({"--link", "L", "--bad-flash", "0x1000"}),
              "error: --bad-flash address is outside the flash (0x08004000 plus --flash-kib)");
}

TEST(CommandLine, FwuLinuxNeedsAPortAndAnImageAndRefusesAnythingElse)
{
    EXPECT_EQ(linux_tool({"--port", "P", "--image", "I", "--limit-s", "30"}), "port P image I limit 30");
    EXPECT_EQ(linux_tool({"--image=I", "--po", "P"}), "port P image I limit 600");
    EXPECT_EQ(linux_tool({"--port", "P", "--help"}), "help");
    for (std::vector<std::string> bad : {std::vector<std::string>{"--port"}, {"--bogus", "--help"}, {"-h"},
                                         {"--port", "P", "--image", "I", "extra"}})
        EXPECT_EQ(linux_tool(bad), "error: unknown argument");
    for (std::vector<std::string> short_of : {std::vector<std::string>{}, {"--port", "P"},
                                              {"--port", "P", "--image", "I", "--limit-s", "0"}})
        EXPECT_EQ(linux_tool(short_of), "error: --port and --image are required");
}

}  // namespace
