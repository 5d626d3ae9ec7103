// Diagnostics: lines for whoever investigates a problem, never shown to the user. They are
// appended to $XDG_STATE_HOME/Kestrio/kestrio.log (default ~/.local/state/Kestrio/kestrio.log);
// KESTRIO_LOG=stderr sends them to standard error instead, KESTRIO_LOG=off drops them.
#pragma once

#include <string_view>

namespace kestrio {

// Appends one line (a time stamp in front); safe from any thread; failures are ignored.
void LogLine(std::string_view line);

}  // namespace kestrio
