// The server program's documentation: its command line, console commands, signals, files and
// options, printed by --help and installed as the manual page kestrix-server(1) (--manual).
#pragma once

#include "framework/usage_text.h"

namespace kx {

SUsageDoc ServerUsageDoc();

}  // namespace kx
