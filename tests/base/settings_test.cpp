// Settings and language texts over a temporary program folder.
#include "base/settings.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class SettingsTest : public ::testing::Test {
 protected:
  Settings::Folders Folders() const { return {dir_ / "program", dir_ / "user"}; }
  fixtures::TempDir dir_;
};

TEST(Ini, RulesOfTheLanguageFiles) {
  std::map<std::string, std::vector<std::string>, std::less<>> order;
  const IniFile ini = ParseIni(
      "\xEF\xBB\xBF; comment before any section\r\nstray=ignored\r\n[Messages]\r\n"
      "MSG0001=first\r\nMSG0001=second\r\nMSG0002=a=b\r\nno equals sign\r\n\r\n; note\r\n"
      "empty=\r\n[Other]\nkey=v",
      &order);
  const IniSection& messages = ini.at("Messages");
  EXPECT_EQ(messages.at("MSG0001"), "first");  // the first value of a repeated key stays
  EXPECT_EQ(messages.at("MSG0002"), "a=b");    // split at the first "="
  EXPECT_EQ(messages.at("no equals sign"), "no equals sign");
  EXPECT_EQ(messages.at("empty"), "");
  EXPECT_EQ(messages.size(), 4u);
  EXPECT_EQ(ini.at("Other").at("key"), "v");
  EXPECT_EQ(ini.count(""), 0u);
  EXPECT_EQ(order.at("Messages"),
            (std::vector<std::string>{"MSG0001", "MSG0002", "no equals sign", "empty"}));
}

TEST_F(SettingsTest, DefaultLanguageFileIsLoadedAndMissingFilesGiveEmptyTexts) {
  Settings none(Folders());
  EXPECT_EQ(none.CurrentLanguage(), "English");
  EXPECT_TRUE(none.Languages().empty());
  EXPECT_EQ(none.Message("MSG0401"), "");
  EXPECT_TRUE(none.Section("MainWnd").empty());

  Write(dir_ / "program/config.ini",
        "[DefaultLanguage]\nDefault=German\n[Languages]\nEnglish=English\nGerman=Deutsch\n");
  Write(dir_ / "program/Languages/German.ini", "[Messages]\nMSG0401=Fehler\n[MainWnd]\nX=Y\n");
  Write(dir_ / "program/Languages/English.ini", "[Messages]\nMSG0401=Error\n");
  Settings settings(Folders());
  EXPECT_EQ(settings.CurrentLanguage(), "German");
  EXPECT_EQ(settings.Message("MSG0401"), "Fehler");
  EXPECT_EQ(Settings::Text(settings.Section("MainWnd"), "X"), "Y");
  EXPECT_EQ(settings.Languages(), (std::vector<std::pair<std::string, std::string>>{
                                      {"English", "English"}, {"German", "Deutsch"}}));
}

TEST_F(SettingsTest, SetLanguageWritesTheChoiceAndReloads) {
  Write(dir_ / "program/config.ini",
        "; keep me\n[DefaultLanguage]\nDefault=English\n\n[Languages]\nEnglish=English\n");
  Write(dir_ / "program/Languages/English.ini", "[Messages]\nMSG0403=Information\n");
  Settings settings(Folders());
  ASSERT_EQ(settings.Message("MSG0403"), "Information");

  // A language without a file: every text is empty, and the choice is kept.
  EXPECT_TRUE(settings.SetLanguage("Klingon"));
  EXPECT_EQ(settings.CurrentLanguage(), "Klingon");
  EXPECT_EQ(settings.Message("MSG0403"), "");
  EXPECT_EQ(testing::ReadText(dir_ / "program/config.ini"),
            "; keep me\n[DefaultLanguage]\nDefault=Klingon\n\n[Languages]\nEnglish=English\n");
  EXPECT_EQ(Settings(Folders()).CurrentLanguage(), "Klingon");

  // Names that are paths never leave the languages folder.
  Write(dir_ / "program/secret.ini", "[Messages]\nMSG0403=leaked\n");
  settings.SetLanguage("../secret");
  EXPECT_EQ(settings.Message("MSG0403"), "");
  settings.SetLanguage("English");
  EXPECT_EQ(settings.Message("MSG0403"), "Information");
}

TEST_F(SettingsTest, UnwritableProgramConfigSavesTheChoiceInTheUserFolder) {
  Write(dir_ / "program/config.ini", "[DefaultLanguage]\nDefault=English\n");
  Write(dir_ / "program/Languages/German.ini", "[Messages]\nMSG0401=Fehler\n");
  // The program's config cannot be replaced (also not by root): its temporary file is taken.
  fs::create_directories(dir_ / "program/config.ini.tmp/x");
  Settings settings(Folders());
  EXPECT_TRUE(settings.SetLanguage("German"));
  EXPECT_EQ(testing::ReadText(dir_ / "program/config.ini"), "[DefaultLanguage]\nDefault=English\n");
  EXPECT_EQ(Settings(Folders()).CurrentLanguage(), "German");  // the user's file is read first
  EXPECT_EQ(settings.Message("MSG0401"), "Fehler");
}

TEST_F(SettingsTest, UserConfigOverridesTheProgramOne) {
  Write(dir_ / "program/config.ini", "[DefaultLanguage]\nDefault=English\n");
  Write(dir_ / "user/config.ini", "[DefaultLanguage]\nDefault=French\n");
  Settings settings(Folders());
  EXPECT_EQ(settings.CurrentLanguage(), "French");
  EXPECT_TRUE(settings.SetLanguage("German"));
  EXPECT_EQ(testing::ReadText(dir_ / "user/config.ini"), "[DefaultLanguage]\nDefault=German\n");
  EXPECT_EQ(testing::ReadText(dir_ / "program/config.ini"), "[DefaultLanguage]\nDefault=English\n");
}

}  // namespace
}  // namespace kestrio
