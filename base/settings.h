// The program's settings: the user-interface language and the texts of that language.
//
// Files, all UTF-8 INI text beside the program (the program directory):
//   config.ini             [DefaultLanguage] Default=<name>     the current language
//                          [Languages] <name>=<display text>    the menu, in file order
//                          [Players] Video=, Audio=             the preview's media players
//   Languages/<name>.ini   one section per window: <control name>=<text>; the section
//                          "Messages" holds the message texts by id (MSG0201 ...)
// Lines are split at the first "="; a line without "=" is its own key and its own value; when
// a key repeats in a section the first value stays. Lines before the first section, empty
// lines and lines starting with ";" are not read.
//
// The language choice is written into the program directory's config.ini when that folder is
// writable, else into the user's config folder ($XDG_CONFIG_HOME/Kestrio, default
// ~/.config/Kestrio), which is then read first.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrio {

using IniSection = std::map<std::string, std::string, std::less<>>;
using IniFile = std::map<std::string, IniSection, std::less<>>;

// Parses INI text by the rules above (a UTF-8 byte-order mark and CR line ends are allowed).
// `keyOrder`, when given, receives the keys of each section in file order.
IniFile ParseIni(std::string_view text,
                 std::map<std::string, std::vector<std::string>, std::less<>>* keyOrder = nullptr);

// The user's config folder: $XDG_CONFIG_HOME/Kestrio, else $HOME/.config/Kestrio.
std::filesystem::path UserConfigFolder();

class Settings {
 public:
  struct Folders {
    std::filesystem::path programFolder;
    std::filesystem::path userConfigFolder;
  };

  // The process's settings over the program directory and the user's config folder, loaded on
  // first use.
  static Settings& Get();
  explicit Settings(Folders folders);

  // The key-to-text map of a section of the current language; empty for a missing section.
  const IniSection& Section(std::string_view name) const;
  // The text of `key` in `section`; empty when missing.
  static std::string Text(const IniSection& section, std::string_view key);
  // A message text by id ("MSG0301"), from the section "Messages".
  std::string Message(std::string_view id) const;
  // A section of config.ini itself ("Players"); empty when missing.
  const IniSection& ConfigSection(std::string_view name) const;

  const std::string& CurrentLanguage() const { return language_; }
  // (name, display text) in the order of config.ini.
  const std::vector<std::pair<std::string, std::string>>& Languages() const { return languages_; }

  // Writes the choice into config.ini (the program's, or the user's when the program folder is
  // not writable) and reloads everything. False when no config file could be written; the
  // language is then still switched for this run.
  bool SetLanguage(const std::string& name);

  // The config.ini that is read: the user's when it exists, else the program's.
  std::filesystem::path ConfigPath() const;
  std::filesystem::path LanguageFile(const std::string& name) const;

 private:
  void Load();

  Folders folders_;
  std::string language_;
  std::vector<std::pair<std::string, std::string>> languages_;
  IniFile config_;
  IniFile texts_;
};

}  // namespace kestrio
