// The rule lines the subcommands print around what they report.
#pragma once

#include <string>

namespace corvane::cli {

inline const std::string kRule(60, '=');
inline const std::string kThinRule(60, '-');

}  // namespace corvane::cli
