#include "output/picture.h"

#include <libheif/heif.h>

#include <array>
#include <cstring>
#include <memory>
#include <string_view>

namespace kestrio {

namespace {

constexpr std::array<std::string_view, 9> kHeifBrands = {"heic", "heix", "heim", "heis", "hevc",
                                                         "hevx", "mif1", "msf1", "avif"};

struct ContextFree {
  void operator()(heif_context* context) const { heif_context_free(context); }
};
struct HandleFree {
  void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct ImageFree {
  void operator()(heif_image* image) const { heif_image_release(image); }
};

bool Fail(std::string* why, std::string text) {
  if (why) *why = std::move(text);
  return false;
}

bool WithinBounds(int width, int height) {
  return width > 0 && height > 0 && width <= kMaxPictureSide && height <= kMaxPictureSide &&
         static_cast<std::int64_t>(width) * height <= kMaxPicturePixels;
}

}  // namespace

bool LooksLikeHeif(Bytes head) {
  if (head.size() < 12 || std::memcmp(head.data() + 4, "ftyp", 4) != 0) return false;
  const std::string_view brand(reinterpret_cast<const char*>(head.data() + 8), 4);
  for (std::string_view known : kHeifBrands) {
    if (brand == known) return true;
  }
  return false;
}

bool DecodeHeif(const std::filesystem::path& path, DecodedPicture& out, std::string* why) {
  out = {};
  std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
  if (!context) return Fail(why, "out of memory");
  heif_error error = heif_context_read_from_file(context.get(), path.c_str(), nullptr);
  if (error.code != heif_error_Ok) return Fail(why, error.message ? error.message : "unreadable");

  heif_image_handle* rawHandle = nullptr;
  error = heif_context_get_primary_image_handle(context.get(), &rawHandle);
  std::unique_ptr<heif_image_handle, HandleFree> handle(rawHandle);
  if (error.code != heif_error_Ok || !handle)
    return Fail(why, error.message ? error.message : "no primary image");
  if (!WithinBounds(heif_image_handle_get_width(handle.get()),
                    heif_image_handle_get_height(handle.get())))
    return Fail(why, "the picture is larger than the preview reads");

  heif_image* rawImage = nullptr;
  error = heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                            heif_chroma_interleaved_RGBA, nullptr);
  std::unique_ptr<heif_image, ImageFree> image(rawImage);
  if (error.code != heif_error_Ok || !image)
    return Fail(why, error.message ? error.message : "does not decode");

  const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
  const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
  int stride = 0;
  const std::uint8_t* plane =
      heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
  if (!plane || !WithinBounds(width, height) || stride < width * 4)
    return Fail(why, "the decoder gave no picture");

  const std::size_t row = static_cast<std::size_t>(width) * 4;
  out.width = width;
  out.height = height;
  out.rgba.resize(row * static_cast<std::size_t>(height));
  for (int y = 0; y < height; ++y) {
    std::memcpy(out.rgba.data() + row * static_cast<std::size_t>(y),
                plane + static_cast<std::size_t>(stride) * static_cast<std::size_t>(y), row);
  }
  return true;
}

}  // namespace kestrio
