// What the Linux-side programs' option parsers share around getopt_long:
// starting afresh, and naming an option or the word at fault in a message.
#pragma once

#include <getopt.h>

#include <string>

// Makes the next getopt_long call start from argv[1], with getopt's own
// messages off: the callers say what is wrong in their own words.
void parse_options_from_start();

// "--name" of the option whose value is `id`, for messages.
std::string long_name_of(const option *options, int id);

// The command-line word that getopt_long just refused (`id` is what it
// returned: '?' for an unknown option, 1 for an operand met in order).
std::string offending_word(char **argv, int id);
