#include "base/text_file.h"

#include <cerrno>

namespace kestrio {

TextFileWriter::~TextFileWriter() { Close(); }

Result TextFileWriter::Open(const std::filesystem::path& path) {
  Close();
  error_ = kResultOk;
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return error_ = LastSystemResult();
  return Write("\xEF\xBB\xBF");
}

Result TextFileWriter::Write(std::string_view text) {
  if (file_ == nullptr && error_ == kResultOk) error_ = kResultInvalid;
  if (error_ != kResultOk) return error_;
  while (!text.empty()) {
    const std::size_t lineFeed = text.find('\n');
    const std::string_view piece = text.substr(0, lineFeed);
    if (!piece.empty() && std::fwrite(piece.data(), 1, piece.size(), file_) != piece.size())
      return error_ = LastSystemResult();
    if (lineFeed == std::string_view::npos) break;
    if (std::fwrite("\r\n", 1, 2, file_) != 2) return error_ = LastSystemResult();
    text.remove_prefix(lineFeed + 1);
  }
  return kResultOk;
}

Result TextFileWriter::Close() {
  if (file_ != nullptr) {
    if (std::fclose(file_) != 0 && error_ == kResultOk) error_ = LastSystemResult();
    file_ = nullptr;
  }
  return error_;
}

}  // namespace kestrio
