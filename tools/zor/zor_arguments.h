// Command-line parsing for the zor tool: options with values, flags and
// positional arguments of one subcommand.
#ifndef ZOR_ARGUMENTS_H
#define ZOR_ARGUMENTS_H

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace zor {

// A command line the tool cannot act on; reported with exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Arguments {
    std::map<std::string, std::string> values;  // keyed by the option's long name
    std::vector<std::string> positionals;
    bool help = false;

    bool has(const std::string& option) const { return values.count(option) != 0; }
    const std::string& value(const std::string& option) const { return values.at(option); }
};

// The options a subcommand accepts: long names, each optionally with a
// one-letter alias, all taking a value. "--help" and "-h" are always known.
struct KnownOptions {
    std::set<std::string> long_names;
    std::map<std::string, std::string> aliases;  // "-o" -> "--output"
};

// Throws UsageError for unknown options, missing values and repeats.
Arguments parse_arguments(const std::vector<std::string>& words, const KnownOptions& known);

}  // namespace zor

#endif  // ZOR_ARGUMENTS_H
