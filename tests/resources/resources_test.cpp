// The files shipped beside the executables: the report templates that the recovery run and
// the print window fill, the English language file and config.ini. Their faults show only
// at run time and far from their cause: a second "{|content|}" cuts a report in two, a
// "{|title|}" after it is printed literally, a summary header one column short shifts every
// row, and a changed "%d" in a format text feeds the wrong argument type to the formatter.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

const std::filesystem::path kSourceDir = KESTRIO_SOURCE_DIR;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.is_open()) << path;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

size_t CountOf(std::string_view text, std::string_view needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    unsigned int cp = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3, cp = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const unsigned char c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// Header cells: "<th>" or "<th ...>", not "<thead>".
size_t HeaderCells(std::string_view html) { return CountOf(html, "<th>") + CountOf(html, "<th "); }

// The printf conversions of a format text in order, each from "%" to its conversion letter;
// "%%" is a literal and is left out.
std::vector<std::string> Conversions(std::string_view format) {
  std::vector<std::string> found;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (i + 1 < format.size() && format[i + 1] == '%') {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < format.size() &&
           std::string_view("-+ #0123456789.*hljztL").find(format[end]) != std::string_view::npos) {
      ++end;
    }
    found.emplace_back(format.substr(i, std::min(end + 1, format.size()) - i));
    i = end;
  }
  return found;
}

// An INI file as the settings loader reads it: sections of key=value lines split at the
// first "=". Anything the loader would misread is recorded as a problem instead.
struct Ini {
  std::map<std::string, std::map<std::string, std::string>> sections;
  std::vector<std::string> problems;
};

Ini ParseIni(const std::string& text) {
  Ini ini;
  std::istringstream lines(text);
  std::string line;
  std::string section;
  bool inSection = false;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.front() == '[') {
      if (line.back() != ']' || line.size() < 3) {
        ini.problems.push_back("bad section header: " + line);
        continue;
      }
      section = line.substr(1, line.size() - 2);
      if (ini.sections.count(section) != 0) ini.problems.push_back("section twice: " + section);
      ini.sections[section];
      inSection = true;
      continue;
    }
    if (!inSection) {
      // Before the first section only comments count; anything else (a byte order mark
      // included) would be lost or glued to the first section's name.
      if (line.front() != ';' && line.front() != '#') {
        ini.problems.push_back("text before the first section: " + line);
      }
      continue;
    }
    // Inside a section the loader skips ";" comments and takes every other line as an
    // entry: a "#" comment or a line without "=" would become a key of its own.
    if (line.front() == ';') continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      ini.problems.push_back("[" + section + "] not a key=value line: " + line);
      continue;
    }
    const std::string key = line.substr(0, eq);
    if (std::isspace(static_cast<unsigned char>(key.front())) ||
        std::isspace(static_cast<unsigned char>(key.back()))) {
      ini.problems.push_back("[" + section + "] blank around key: " + key);
    }
    if (!ini.sections[section].emplace(key, line.substr(eq + 1)).second) {
      ini.problems.push_back("[" + section + "] key twice (the second is ignored): " + key);
    }
  }
  return ini;
}

void ExpectSelfContained(const std::string& html) {
  EXPECT_TRUE(IsUtf8(html));
  const std::string lower = Lower(html);
  EXPECT_NE(lower.find("<meta charset=\"utf-8\">"), std::string::npos);
  for (const char* outside :
       {"http://", "https://", "src=", "href=", "url(", "@import", "<link", "<script"}) {
    EXPECT_EQ(lower.find(outside), std::string::npos) << "references " << outside;
  }
}

TEST(ResourceTemplates, ReportTemplatesHaveTheirPlaceholdersAndTableHeads) {
  struct Case {
    const char* file;
    size_t columns;  // 0: a conversation page, not a table
  };
  for (const Case& c : {Case{"contacts.html", 7}, Case{"CallHistory.html", 6},
                        Case{"Notes.html", 4}, Case{"Sms.html", 0}, Case{"WhatsApp.html", 0}}) {
    SCOPED_TRACE(c.file);
    const std::string html = ReadFile(kSourceDir / "template" / c.file);
    ExpectSelfContained(html);
    ASSERT_EQ(CountOf(html, "{|content|}"), 1u);
    const size_t split = html.find("{|content|}");
    const std::string head = html.substr(0, split);
    const std::string tail = html.substr(split + 11);

    // Only the head is filled in; a placeholder in the tail would reach the reader as is.
    EXPECT_GE(CountOf(head, "{|title|}"), 1u);
    EXPECT_EQ(CountOf(tail, "{|title|}"), 0u);
    EXPECT_EQ(CountOf(tail, "{|person|}"), 0u);

    if (c.columns == 0) {
      EXPECT_GE(CountOf(head, "{|person|}"), 1u);
      for (const char* cls :
           {".date", ".send_msg", ".recv_msg", ".del_send_msg", ".del_recv_msg"}) {
        EXPECT_NE(head.find(cls), std::string::npos) << "no style for " << cls;
      }
      continue;
    }
    // Rows arrive as "\t<tr><td>..</td></tr>\r\n": the content must sit inside the table,
    // after the header row, with only the body's end tag before the table's.
    EXPECT_EQ(CountOf(head, "{|person|}"), 0u);
    const size_t table = head.rfind("<table");
    ASSERT_NE(table, std::string::npos);
    EXPECT_EQ(head.find("</table>", table), std::string::npos);
    EXPECT_EQ(HeaderCells(head.substr(table)), c.columns);
    const size_t tableEnd = tail.find("</table>");
    ASSERT_NE(tableEnd, std::string::npos);
    std::string between = tail.substr(0, tableEnd);
    std::erase_if(between, [](unsigned char ch) { return std::isspace(ch); });
    EXPECT_TRUE(between.empty() || between == "</tbody>") << between;
  }
}

TEST(ResourceTemplates, PrintPageHasOneContentSlotAndNothingLeftUnfilled) {
  // The print window splits this page at "{|content|}" and fills in nothing else.
  const std::string html = ReadFile(kSourceDir / "template" / "Print.html");
  ExpectSelfContained(html);
  EXPECT_EQ(CountOf(html, "{|content|}"), 1u);
  EXPECT_EQ(CountOf(html, "{|title|}"), 0u);
  EXPECT_EQ(CountOf(html, "{|person|}"), 0u);
}

TEST(ResourceLanguages, EnglishHasEveryMessageAndWindowSection) {
  const std::string text = ReadFile(kSourceDir / "Languages" / "English.ini");
  EXPECT_TRUE(IsUtf8(text));
  const Ini ini = ParseIni(text);
  EXPECT_TRUE(ini.problems.empty()) << ::testing::PrintToString(ini.problems);

  for (const char* section :
       {"Messages", "MainWnd", "MenuWnd", "PageScan", "PageIosDevice", "PageItunesBackup",
        "PreviewProcessWnd", "RecoverProcessWnd", "PrintWnd", "DecryptionWnd", "MessageBox"}) {
    const auto it = ini.sections.find(section);
    ASSERT_NE(it, ini.sections.end()) << section;
    EXPECT_FALSE(it->second.empty()) << section;
  }

  const auto& messages = ini.sections.at("Messages");
  for (const char* id :
       {"MSG0201", "MSG0301", "MSG0302", "MSG0303", "MSG0401", "MSG0402", "MSG0403", "MSG0404",
        "MSG0405", "MSG0501", "MSG0502", "MSG0503", "MSG0504", "MSG0506", "MSG0507", "MSG0508",
        "MSG0509", "MSG0510", "MSG0511", "MSG0514", "MSG0601", "MSG0602", "MSG0901", "MSG0902",
        "MSG0903", "MSG1101", "MSG1102", "MSG1103", "MSG1104", "MSG1207", "MSG1209", "MSG1210"}) {
    const auto it = messages.find(id);
    ASSERT_NE(it, messages.end()) << id;
    EXPECT_FALSE(it->second.empty()) << id;
  }
  // The two texts used as formats take exactly these arguments, in this order.
  EXPECT_EQ(Conversions(messages.at("MSG0514")),
            (std::vector<std::string>{"%s", "%d", "%s", "%d"}));
  EXPECT_EQ(Conversions(messages.at("MSG1102")),
            (std::vector<std::string>{"%d", "%d", "%d", "%d"}));
}

TEST(ResourceLanguages, ConfigNamesTheDefaultLanguageAndOffersIt) {
  const Ini config = ParseIni(ReadFile(kSourceDir / "config.ini"));
  EXPECT_TRUE(config.problems.empty()) << ::testing::PrintToString(config.problems);
  ASSERT_EQ(config.sections.count("DefaultLanguage"), 1u);
  ASSERT_EQ(config.sections.count("Languages"), 1u);
  const std::string language = config.sections.at("DefaultLanguage").at("Default");
  EXPECT_EQ(language, "English");
  // Every language on offer in the menu has its file, the default among them.
  const auto& offered = config.sections.at("Languages");
  EXPECT_EQ(offered.count(language), 1u);
  for (const auto& [name, display] : offered) {
    EXPECT_FALSE(display.empty()) << name;
    EXPECT_TRUE(std::filesystem::is_regular_file(kSourceDir / "Languages" / (name + ".ini")))
        << name;
  }
}

}  // namespace
