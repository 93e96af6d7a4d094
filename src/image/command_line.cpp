#include "command_line.h"

#include "file_io.h"

#include <csignal>
#include <cstring>

namespace img {

bool start_tool()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGCHLD, SIG_DFL);
    return open_closed_standard_descriptors();
}

namespace {

bool is_option(const char* arg)
{
    return arg[0] == '-' && arg[1] != '\0';
}

// The row `arg` names, by its whole name or, for a long option, by the name
// before "="; `value` then points after the "=". -1 for none.
int find_option(const char* arg, std::span<const Option> options, const char*& value)
{
    const std::size_t length = std::strcspn(arg, "=");
    for (std::size_t k = 0; k < options.size(); ++k) {
        const char* name = options[k].name;
        if (std::strncmp(arg, name, length) != 0 || name[length] != '\0')
            continue;
        value = arg[length] == '=' ? arg + length + 1 : nullptr;
        // "--preview=1": a flag takes no value, and "-o=x" is no long option.
        if (value && (!options[k].takes_value || std::strncmp(name, "--", 2) != 0))
            return -1;
        return static_cast<int>(k);
    }
    return -1;
}

} // namespace

std::string read_command_line(int argc, char** argv, std::span<const Option> options,
                              Command_Line& line)
{
    line.given.assign(options.size(), nullptr);
    line.operands.clear();
    bool options_done = false;
    std::size_t given = 0;
    int alone = -1;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options_done || !is_option(arg)) {
            line.operands.push_back(arg);
            continue;
        }
        if (std::strcmp(arg, "--") == 0) {
            options_done = true;
            continue;
        }
        const char* value = nullptr;
        int k = find_option(arg, options, value);
        if (k < 0)
            return std::string("unknown option ") + arg;
        const Option& option = options[static_cast<std::size_t>(k)];
        if (line.given[static_cast<std::size_t>(k)])
            return std::string(option.name) + " is given twice";
        if (option.takes_value && !value) {
            if (i + 1 == argc || std::strncmp(argv[i + 1], "--", 2) == 0)
                return option.wrong_value;
            value = argv[++i];
        }
        line.given[static_cast<std::size_t>(k)] = option.takes_value ? value : "";
        ++given;
        if (alone < 0 && (std::strcmp(option.name, "--help") == 0 ||
                          std::strcmp(option.name, "--version") == 0))
            alone = k;
    }
    if (alone >= 0 && given + line.operands.size() != 1)
        return std::string(options[static_cast<std::size_t>(alone)].name) + " goes alone";
    return "";
}

} // namespace img
