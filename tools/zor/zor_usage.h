// The usage texts of the tool and of each command, printed for --help and
// 'zor help COMMAND'.
#ifndef ZOR_USAGE_H
#define ZOR_USAGE_H

namespace zor {

extern const char kPackUsage[];
extern const char kInfoUsage[];
extern const char kExtractUsage[];
extern const char kIoUsage[];
// The text after the list of commands in the tool's own usage.
extern const char kToolUsageEnd[];

}  // namespace zor

#endif  // ZOR_USAGE_H
