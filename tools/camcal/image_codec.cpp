// Coding of images in memory: PNG through libpng's simplified interface, JPEG
// through libjpeg with an error manager that turns its errors and its
// warnings (a truncated file is only a warning to it, and decodes as grey)
// into a failure.
#include "image_codec.h"

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace camcal {

namespace {

// The largest image read, in pixels (a header may claim anything).
constexpr unsigned long long kMaxPixels = 1ULL << 26;
constexpr int kJpegQuality = 95;

bool isPng(const std::string& bytes) {
  return bytes.size() >= 8 &&
         png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) == 0;
}
bool isJpeg(const std::string& bytes) {
  return bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xD8 &&
         static_cast<unsigned char>(bytes[2]) == 0xFF;
}

bool decodePng(const std::string& bytes, Image* image, std::string* reason) {
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size())) {
    *reason = std::string("truncated or corrupt PNG image (") + png.message + ")";
    return false;
  }
  const bool color = (png.format & PNG_FORMAT_FLAG_COLOR) != 0;
  const bool alpha = (png.format & PNG_FORMAT_FLAG_ALPHA) != 0;
  png.format = alpha ? PNG_FORMAT_RGBA : color ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  if (png.width == 0 || png.height == 0 ||
      (unsigned long long)png.width * png.height > kMaxPixels) {
    png_image_free(&png);
    *reason = "PNG image too large (" + std::to_string(png.width) + "x" +
              std::to_string(png.height) + ")";
    return false;
  }
  image->width = int(png.width);
  image->height = int(png.height);
  image->channels = alpha ? 4 : color ? 3 : 1;
  image->pixels.assign(PNG_IMAGE_SIZE(png), 0);
  if (!png_image_finish_read(&png, nullptr, image->pixels.data(), 0, nullptr)) {
    *reason = std::string("truncated or corrupt PNG image (") + png.message + ")";
    png_image_free(&png);
    return false;
  }
  return true;
}

// libjpeg reports through these callbacks; an error or warning ends the
// decode with its message.
struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jpegFailure(j_common_ptr info) {
  JpegErrors* errors = reinterpret_cast<JpegErrors*>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}

void jpegMessage(j_common_ptr info, int level) {
  if (level < 0) jpegFailure(info);  // a warning: corrupt or truncated data
}

// The decoder's state lives outside the setjmp frame's locals that change.
bool decodeJpeg(const std::string& bytes, Image* image, std::string* reason) {
  jpeg_decompress_struct info;
  JpegErrors errors;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jpegFailure;
  errors.manager.emit_message = jpegMessage;
  errors.message[0] = '\0';
  jpeg_create_decompress(&info);
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    *reason = std::string("truncated or corrupt JPEG image (") + errors.message + ")";
    image->pixels.clear();
    image->pixels.shrink_to_fit();
    return false;
  }
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  if ((unsigned long long)info.image_width * info.image_height > kMaxPixels) {
    jpeg_destroy_decompress(&info);
    *reason = "JPEG image too large";
    return false;
  }
  jpeg_start_decompress(&info);
  image->width = int(info.output_width);
  image->height = int(info.output_height);
  image->channels = int(info.output_components);
  const size_t stride = size_t(image->width) * image->channels;
  image->pixels.assign(stride * image->height, 0);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = image->pixels.data() + stride * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

bool encodePng(const Image& image, std::string* out, std::string* reason) {
  png_image png;
  std::memset(&png, 0, sizeof(png));
  png.version = PNG_IMAGE_VERSION;
  png.width = png_uint_32(image.width);
  png.height = png_uint_32(image.height);
  png.format = image.channels == 4   ? PNG_FORMAT_RGBA
               : image.channels == 3 ? PNG_FORMAT_RGB
                                     : PNG_FORMAT_GRAY;
  png_alloc_size_t size = 0;
  std::string& bytes = *out;
  if (!png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), 0, nullptr)) {
    *reason = std::string("cannot encode PNG: ") + png.message;
    return false;
  }
  bytes.assign(size, '\0');
  if (!png_image_write_to_memory(&png, bytes.data(), &size, 0, image.pixels.data(), 0, nullptr)) {
    *reason = std::string("cannot encode PNG: ") + png.message;
    return false;
  }
  bytes.resize(size);
  return true;
}

bool encodeJpeg(const Image& image, std::string* out, std::string* reason) {
  jpeg_compress_struct info;
  JpegErrors errors;
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = jpegFailure;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_create_compress(&info);
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    *reason = std::string("cannot encode JPEG: ") + errors.message;
    return false;
  }
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = JDIMENSION(image.width);
  info.image_height = JDIMENSION(image.height);
  const bool gray = image.channels == 1;
  info.input_components = gray ? 1 : 3;
  info.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, kJpegQuality, TRUE);
  jpeg_start_compress(&info, TRUE);
  std::vector<std::uint8_t> row(size_t(image.width) * info.input_components);
  const size_t stride = size_t(image.width) * image.channels;
  while (info.next_scanline < info.image_height) {
    const std::uint8_t* in = image.pixels.data() + stride * info.next_scanline;
    // Colour rows drop a fourth (alpha) channel; gray and RGB rows pass as they are.
    for (int u = 0; u < image.width; ++u) {
      std::copy_n(in + size_t(u) * image.channels, info.input_components,
                  row.data() + size_t(u) * info.input_components);
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  out->assign(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return true;
}

}  // namespace

bool decodeImage(const std::string& bytes, Image* image, std::string* reason) {
  if (isPng(bytes)) return decodePng(bytes, image, reason);
  if (isJpeg(bytes)) return decodeJpeg(bytes, image, reason);
  *reason = "not a PNG or JPEG image";
  return false;
}

bool encodeImage(const Image& image, bool jpeg, std::string* bytes, std::string* reason) {
  return jpeg ? encodeJpeg(image, bytes, reason) : encodePng(image, bytes, reason);
}

}  // namespace camcal
