#include "base/settings.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "base/paths.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

constexpr char kDefaultLanguage[] = "English";
// The language name is read as at most this many characters.
constexpr std::size_t kMaxLanguageName = 63;
// Language and config files are small; a larger file is not read.
constexpr std::uintmax_t kMaxIniBytes = 4 * 1024 * 1024;

std::string ReadSmallFile(const fs::path& path) {
  std::error_code error;
  const std::uintmax_t size = fs::file_size(path, error);
  if (error || size > kMaxIniBytes) return {};
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const IniSection& EmptySection() {
  static const IniSection empty;
  return empty;
}

// A language name is a file name below the languages folder, never a path.
bool SafeLanguageName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

// `text` with the "Default" line of [DefaultLanguage] set to `name` (section and line added when
// missing); every other line kept as it stands.
std::string WithDefaultLanguage(const std::string& text, const std::string& name) {
  std::istringstream in(text);
  std::ostringstream out;
  std::string line;
  bool inSection = false;
  bool written = false;
  bool sawSection = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line.front() == '[') {
      if (inSection && !written) {
        out << "Default=" << name << "\n";
        written = true;
      }
      inSection = line == "[DefaultLanguage]";
      sawSection = sawSection || inSection;
    } else if (inSection && !written && line.rfind("Default=", 0) == 0) {
      out << "Default=" << name << "\n";
      written = true;
      continue;
    }
    out << line << "\n";
  }
  if (inSection && !written) {
    out << "Default=" << name << "\n";
    written = true;
  }
  if (!sawSection) out << "\n[DefaultLanguage]\nDefault=" << name << "\n";
  return out.str();
}

bool WriteFile(const fs::path& path, const std::string& text) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
      fs::remove(temporary, error);
      return false;
    }
  }
  fs::rename(temporary, path, error);
  if (error) fs::remove(temporary, error);
  return !error;
}

}  // namespace

IniFile ParseIni(std::string_view text,
                 std::map<std::string, std::vector<std::string>, std::less<>>* keyOrder) {
  IniFile file;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  IniSection* section = nullptr;
  std::vector<std::string>* order = nullptr;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      const std::string name(
          line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      section = &file[name];
      order = keyOrder ? &(*keyOrder)[name] : nullptr;
      continue;
    }
    if (section == nullptr) continue;  // before the first section
    const std::size_t equals = line.find('=');
    const std::string key(line.substr(0, equals));
    const std::string value(equals == std::string_view::npos ? line : line.substr(equals + 1));
    if (section->emplace(key, value).second && order) order->push_back(key);
  }
  return file;
}

fs::path UserConfigFolder() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return fs::path(config) / "Kestrio";
  const fs::path home = HomeFolder();
  return home.empty() ? fs::path() : home / ".config" / "Kestrio";
}

Settings& Settings::Get() {
  static Settings settings(Folders{ProgramFolder(), UserConfigFolder()});
  return settings;
}

Settings::Settings(Folders folders) : folders_(std::move(folders)) { Load(); }

fs::path Settings::ConfigPath() const {
  std::error_code error;
  if (!folders_.userConfigFolder.empty()) {
    const fs::path user = folders_.userConfigFolder / "config.ini";
    if (fs::is_regular_file(user, error)) return user;
  }
  return folders_.programFolder / "config.ini";
}

fs::path Settings::LanguageFile(const std::string& name) const {
  if (!SafeLanguageName(name)) return {};
  return folders_.programFolder / "Languages" / (name + ".ini");
}

void Settings::Load() {
  std::map<std::string, std::vector<std::string>, std::less<>> order;
  config_ = ParseIni(ReadSmallFile(ConfigPath()), &order);
  const IniFile& config = config_;
  language_ = kDefaultLanguage;
  if (const auto section = config.find("DefaultLanguage"); section != config.end()) {
    if (const auto value = section->second.find("Default"); value != section->second.end())
      language_ = value->second.substr(0, kMaxLanguageName);
  }
  languages_.clear();
  if (const auto section = config.find("Languages"); section != config.end()) {
    for (const std::string& name : order["Languages"])
      languages_.emplace_back(name, section->second.at(name));
  }
  const fs::path file = LanguageFile(language_);
  texts_ = file.empty() ? IniFile() : ParseIni(ReadSmallFile(file));
}

const IniSection& Settings::Section(std::string_view name) const {
  const auto it = texts_.find(name);
  return it == texts_.end() ? EmptySection() : it->second;
}

std::string Settings::Text(const IniSection& section, std::string_view key) {
  const auto it = section.find(key);
  return it == section.end() ? std::string() : it->second;
}

std::string Settings::Message(std::string_view id) const { return Text(Section("Messages"), id); }

const IniSection& Settings::ConfigSection(std::string_view name) const {
  const auto it = config_.find(name);
  return it == config_.end() ? EmptySection() : it->second;
}

bool Settings::SetLanguage(const std::string& name) {
  const std::string text = WithDefaultLanguage(ReadSmallFile(ConfigPath()), name);
  const fs::path program = folders_.programFolder / "config.ini";
  bool written = false;
  // The program's own file when its folder is writable and no user file overrides it.
  if (ConfigPath() == program && ::access(folders_.programFolder.c_str(), W_OK) == 0)
    written = WriteFile(program, text);
  if (!written && !folders_.userConfigFolder.empty())
    written = WriteFile(folders_.userConfigFolder / "config.ini", text);
  Load();
  if (!written) {
    // Not saved: this run still switches.
    language_ = name.substr(0, kMaxLanguageName);
    const fs::path file = LanguageFile(language_);
    texts_ = file.empty() ? IniFile() : ParseIni(ReadSmallFile(file));
  }
  return written;
}

}  // namespace kestrio
