// The scan's JSON goes out as it is written, to a file or to standard output alike.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "cli/cli.h"
#include "cli/json_writer.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/json.h"

namespace kestrio {
namespace {

namespace fx = fixtures;

TEST(ScanJsonFile, TheFileHoldsWhatStandardOutputGetsAndAnUnwritablePathIsSaid) {
  fx::TempDir dir;
  setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
  fx::BackupOptions options;
  options.messageCount = 400;  // a document of many pieces
  fx::WriteBackup(dir / "backup", options);

  std::ostringstream out, err;
  cli::Terminal terminal{out, err, false, nullptr, {}};
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", "-"}, terminal), cli::kExitOk)
      << err.str();
  ASSERT_GT(out.str().size(), 4 * cli::JsonWriter::kFlushBytes);
  const std::filesystem::path file = dir / "scan.json";
  ASSERT_EQ(cli::RunCli({"scan", (dir / "backup").string(), "--json", file.string()}, terminal),
            cli::kExitOk)
      << err.str();
  std::ifstream in(file, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, out.str());
  ASSERT_TRUE(written.ends_with("}\n"));
  const auto json = testing::ParseJson(written);
  ASSERT_TRUE(json);
  EXPECT_FALSE((*json)["categories"]["messages"].items.empty());

  // A folder where the file should go: nothing can be written, and the command says so.
  err.str("");
  EXPECT_EQ(
      cli::RunCli({"scan", (dir / "backup").string(), "--json", dir.path().string()}, terminal),
      cli::kExitUsage);
  EXPECT_NE(err.str().find("cannot write " + dir.path().string()), std::string::npos) << err.str();
}

}  // namespace
}  // namespace kestrio
