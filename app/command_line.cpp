#include "app/command_line.h"

void parse_options_from_start()
{
    optind = 0;  // 0, not 1: glibc and MinGW then reset their state too
    opterr = 0;
}

std::string long_name_of(const option *options, int id)
{
    for (const option *known = options; known->name != nullptr; ++known)
        if (known->val == id)
            return std::string("--") + known->name;
    return "?";
}

std::string offending_word(char **argv, int id)
{
    if (id == 1)
        return optarg;
    if (optopt > 0 && optopt < 128)  // an unknown short option, perhaps inside a group
        return std::string("-") + static_cast<char>(optopt);
    return argv[optind - 1];  // an unknown long option, or a value given to one that takes none
}
