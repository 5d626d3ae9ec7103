// Text files as the reports and chat exports are written: UTF-8 with a byte-order mark, and
// every line feed written as CR LF.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "base/result.h"

namespace kestrio {

class TextFileWriter {
 public:
  TextFileWriter() = default;
  ~TextFileWriter();
  TextFileWriter(const TextFileWriter&) = delete;
  TextFileWriter& operator=(const TextFileWriter&) = delete;

  // Creates or empties the file and writes the byte-order mark. A system error when it does
  // not open.
  Result Open(const std::filesystem::path& path);
  // Writes the text with each "\n" as "\r\n". The first failure is kept and returned by
  // every later call and by Close.
  Result Write(std::string_view text);
  Result Close();

 private:
  std::FILE* file_ = nullptr;
  Result error_ = kResultOk;
};

}  // namespace kestrio
