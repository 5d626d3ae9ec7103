// kestrio-cli carve, --version, and the ways a password reaches the command line.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "cli/cli.h"
#include "cli/options.h"
#include "tests/device/fake_device_driver.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/fixtures/sqlite_corpus.h"
#include "tests/support/json.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;

class CarveCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // A folder of its own: ctest runs each test of the suite in a process of its own,
    // side by side.
    dir_ = new fx::TempDir;
    folder_ = dir_->path();
    // The rows' values wait in the temporary folder under the data folder: this one's.
    setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
    corpus_ = new std::vector<fx::CorpusDb>(fx::WriteSqliteCorpus(folder_));
  }
  static void TearDownTestSuite() {
    delete corpus_;
    delete dir_;
  }
  static std::string PathOf(const std::string& name) {
    for (const fx::CorpusDb& db : *corpus_) {
      if (db.name == name) return db.path.string();
    }
    return {};
  }
  int Run(std::vector<std::string> args) {
    out_.str("");
    err_.str("");
    return cli::RunCli(args, terminal_);
  }

  static inline fs::path folder_;
  static inline fx::TempDir* dir_ = nullptr;
  static inline std::vector<fx::CorpusDb>* corpus_ = nullptr;
  std::ostringstream out_, err_;
  cli::Terminal terminal_{out_, err_};
};

TEST_F(CarveCli, JsonHoldsEveryTableWithRowsByColumnName) {
  ASSERT_EQ(Run({"carve", PathOf("odd-names"), "--json", "-"}), cli::kExitOk) << err_.str();
  const auto json = testing::ParseJson(out_.str());
  ASSERT_TRUE(json) << out_.str().substr(0, 400);
  EXPECT_EQ(json->Keys(),
            (std::vector<std::string>{"file", "pageSize", "encoding", "findings", "tables"}));
  EXPECT_EQ((*json)["pageSize"].text, "4096");
  EXPECT_EQ((*json)["encoding"].text, "UTF-8");
  const testing::Json& tables = (*json)["tables"];
  ASSERT_EQ(tables.items.size(), 4u);
  const testing::Json& tick = tables[3];
  EXPECT_EQ(tick["name"].text, "back tick");
  bool sawDeleted = false;
  for (const testing::Json& row : tick["rows"].items) {
    EXPECT_EQ(row.Keys(),
              (std::vector<std::string>{"deleted", "source", "page", "rowid", "values"}));
    EXPECT_EQ(row["deleted"].kind, testing::Json::Kind::kBool);
    EXPECT_EQ(row["values"].Keys(), (std::vector<std::string>{"a b", "c", "d"}));
    // Blobs as hex, integers as numbers.
    EXPECT_EQ(row["values"]["c"].text.substr(0, 6), "010203");
    EXPECT_EQ(row["values"]["d"].kind, testing::Json::Kind::kNumber);
    if (row["deleted"].boolean) {
      sawDeleted = true;
      EXPECT_TRUE(row["source"].text == "freeblock" || row["source"].text == "gap")
          << row["source"].text;
    } else {
      EXPECT_EQ(row["source"].text, "btree");
      EXPECT_EQ(row["rowid"].kind, testing::Json::Kind::kNumber);
    }
  }
  EXPECT_TRUE(sawDeleted);
  // REAL values stay reals in JSON.
  const testing::Json& snowman = tables[2]["rows"][0]["values"]["spaced col"];
  EXPECT_NE(snowman.text.find('.'), std::string::npos) << snowman.text;
}

TEST_F(CarveCli, WalSourcesListingTableFilterAndExitCodes) {
  const fs::path json = folder_ / "wal.json";
  ASSERT_EQ(Run({"carve", PathOf("wal"), "--table", "CHAT", "--json", json.string()}),
            cli::kExitOk);
  std::ifstream in(json);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto parsed = testing::ParseJson(text);
  ASSERT_TRUE(parsed);
  ASSERT_EQ((*parsed)["tables"].items.size(), 1u);
  std::set<std::string> sources;
  for (const testing::Json& row : (*parsed)["tables"][0]["rows"].items)
    sources.insert(row["source"].text);
  EXPECT_TRUE(sources.count("wal") && sources.count("walOld")) << text.substr(0, 300);

  ASSERT_EQ(Run({"carve", PathOf("utf16be")}), cli::kExitOk);
  EXPECT_NE(out_.str().find("UTF-16be"), std::string::npos);
  EXPECT_NE(out_.str().find("table people (id, name, note, n): 80 live, "), std::string::npos)
      << out_.str().substr(0, 300);
  EXPECT_NE(out_.str().find("\"Gr\xC3\xBC\xC3\x9F"
                            "e \xE2\x9C\x93 \xF0\x9F\x98\x80-"),
            std::string::npos);

  EXPECT_EQ(Run({"carve", (folder_ / "missing.db").string()}), cli::kExitUnopened);
  std::ofstream(folder_ / "text.db") << "not a database, just text that is long enough to be "
                                        "read as a header of one hundred bytes, and more, more";
  EXPECT_EQ(Run({"carve", (folder_ / "text.db").string()}), cli::kExitUnopened);
  EXPECT_NE(err_.str().find("could not be opened"), std::string::npos);
  EXPECT_EQ(Run({"carve"}), cli::kExitUsage);
  EXPECT_EQ(Run({"carve", PathOf("wal"), "--password", "x"}), cli::kExitUsage);
  EXPECT_EQ(Run({"scan", PathOf("wal"), "--table", "x"}), cli::kExitUsage);
}

TEST_F(CarveCli, VersionNamesTheProgram) {
  EXPECT_EQ(Run({"--version"}), cli::kExitOk);
  EXPECT_EQ(out_.str().rfind("kestrio-cli ", 0), 0u);
  EXPECT_GT(out_.str().size(), std::string("kestrio-cli \n").size());
}

// What the scripted device was asked to switch its encryption off with.
std::string SentPasswords(const testing::FakeDeviceDriver& driver) {
  std::string all;
  for (const auto& [name, options] : driver.device.sentMessages) {
    if (!options) continue;
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(options.get(), &xml, &length);
    if (xml) all.append(xml, length);
    std::free(xml);
  }
  return all;
}

class PasswordCli : public ::testing::Test {
 protected:
  void SetUp() override {
    driver_.connected = false;
    driver_.willEncryptOnConnect = true;
    terminal_.device = &driver_;
    terminal_.deviceSupport = [] { return true; };
    terminal_.environment = [this](const std::string& name) -> std::optional<std::string> {
      if (name == "KESTRIO_PASSWORD" && !environment_.empty()) return environment_;
      return std::nullopt;
    };
  }
  // `device backup` against a device that refuses every password: the password that reached
  // it is in its messages.
  int Backup(std::vector<std::string> extra) {
    out_.str("");
    err_.str("");
    driver_.device.sentMessages.clear();
    testing::Verdict(driver_.device, 207, "Wrong password");
    std::vector<std::string> args{"device", "backup", (dir_ / "b").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return cli::RunCli(args, terminal_);
  }

  fx::TempDir dir_;
  testing::FakeDeviceDriver driver_{"00008020-0011223344556677", false};
  std::ostringstream out_, err_;
  cli::Terminal terminal_{out_, err_};
  std::string environment_;
};

TEST_F(PasswordCli, FileEnvironmentPromptAndTheWarnedCommandLineOption) {
  // The first line of the file, without its line end.
  std::ofstream(dir_ / "pw.txt") << "from file\r\nsecond line\n";
  EXPECT_EQ(Backup({"--password-file", (dir_ / "pw.txt").string()}), cli::kExitPassword);
  EXPECT_NE(SentPasswords(driver_).find(">from file<"), std::string::npos);
  EXPECT_EQ(err_.str().find("can be read"), std::string::npos);

  environment_ = "from env";
  EXPECT_EQ(Backup({}), cli::kExitPassword);
  EXPECT_NE(SentPasswords(driver_).find(">from env<"), std::string::npos);

  // The command line wins over the environment, and is warned about.
  EXPECT_EQ(Backup({"--password", "typed"}), cli::kExitPassword);
  EXPECT_NE(SentPasswords(driver_).find(">typed<"), std::string::npos);
  EXPECT_NE(err_.str().find("can be read by every user"), std::string::npos);
  environment_.clear();

  // Asked when nothing gave one; without anyone to ask, exit 3 as before.
  std::string asked;
  terminal_.askPassword = [&asked](const std::string& question) -> std::optional<std::string> {
    asked = question;
    return "prompted";
  };
  EXPECT_EQ(Backup({}), cli::kExitPassword);
  EXPECT_FALSE(asked.empty());
  EXPECT_NE(SentPasswords(driver_).find(">prompted<"), std::string::npos);
  terminal_.askPassword = nullptr;
  EXPECT_EQ(Backup({}), cli::kExitPassword);
  EXPECT_TRUE(driver_.device.sentMessages.empty());
  EXPECT_NE(err_.str().find("--password-file"), std::string::npos);

  EXPECT_EQ(Backup({"--password-file", (dir_ / "none.txt").string()}), cli::kExitUsage);
  EXPECT_EQ(Backup({"--password", "a", "--password-file", (dir_ / "pw.txt").string()}),
            cli::kExitUsage);
}

}  // namespace
}  // namespace kestrio
