// The usage texts of each command, printed for --help.
#ifndef ZOR_USAGE_H
#define ZOR_USAGE_H

namespace zor {

extern const char kPackUsage[];
extern const char kInfoUsage[];
extern const char kExtractUsage[];
extern const char kIoUsage[];

}  // namespace zor

#endif  // ZOR_USAGE_H
