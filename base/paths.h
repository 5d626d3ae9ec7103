// Where Kestrio's folders are on this platform. Every platform-specific location is decided
// here, so a port touches this file only.
#pragma once

#include <filesystem>

namespace kestrio {

// The user's application-data folder: $XDG_DATA_HOME, else $HOME/.local/share.
std::filesystem::path ApplicationDataFolder();

// The folder of the running executable (/proc/self/exe): the report templates, the language
// files and config.ini lie there. Empty when it cannot be read.
std::filesystem::path ProgramFolder();

// The user's home folder ($HOME), empty when it is not set.
std::filesystem::path HomeFolder();

}  // namespace kestrio
