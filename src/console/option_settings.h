// The operator's options by name: every setting of the options file that the console's `set`
// command and the command line's `--set NAME=VALUE` can change, how each is shown, and how a
// typed value is checked. Works on an SMyPrefs so the same rules serve the running server and
// the "pref" file of a stopped one. A value that does not pass its check changes nothing.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server/pref_file.h"

namespace kx::UOptionSettings {

// Every setting as "name", "value shown", in display order. Tracker passwords show as "(set)"
// or empty so that a shown options list never gives them away.
std::vector<std::pair<std::string, std::string>> List(const SMyPrefs& prefs);

// Names of every setting with a short description each, for help texts.
std::vector<std::pair<std::string, std::string>> Describe();

// Sets `name` to `value` in `prefs`. On a bad name or value returns false with `error` set to a
// message for the operator, and `prefs` unchanged.
bool Set(SMyPrefs& prefs, std::string_view name, std::string_view value, std::string& error);

// "NAME=VALUE" taken apart; false when there is no "=" or the name is empty.
bool SplitAssignment(std::string_view text, std::string& name, std::string& value);

}  // namespace kx::UOptionSettings
