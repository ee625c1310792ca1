#include "zor_arguments.h"

namespace zor {
namespace {

// Resolves "-o" and "--output" alike to the long name; empty when unknown.
std::string long_name_of(const std::string& word, const KnownOptions& known) {
    auto alias = known.aliases.find(word);
    if (alias != known.aliases.end()) return alias->second;
    return known.long_names.count(word) != 0 ? word : std::string();
}

void store(Arguments& arguments, const std::string& option, const std::string& value) {
    if (!arguments.values.emplace(option, value).second) throw UsageError("option " + option + " given twice");
}

}  // namespace

Arguments parse_arguments(const std::vector<std::string>& words, const KnownOptions& known) {
    Arguments arguments;
    bool options_ended = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (options_ended || word.size() < 2 || word[0] != '-') {
            arguments.positionals.push_back(word);
            continue;
        }
        if (word == "--") {
            options_ended = true;
            continue;
        }
        if (word == "--help" || word == "-h") {
            arguments.help = true;
            continue;
        }
        const size_t equals = word.find('=');
        if (word.rfind("--", 0) == 0 && equals != std::string::npos) {
            const std::string option = long_name_of(word.substr(0, equals), known);
            if (option.empty()) throw UsageError("unknown option " + word.substr(0, equals));
            store(arguments, option, word.substr(equals + 1));
            continue;
        }
        const std::string option = long_name_of(word, known);
        if (option.empty()) throw UsageError("unknown option " + word);
        if (i + 1 >= words.size()) throw UsageError("option " + word + " needs a value");
        store(arguments, option, words[++i]);
    }
    return arguments;
}

}  // namespace zor
