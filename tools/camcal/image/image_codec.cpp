// Coding of images in memory: PNG through libpng (its simplified interface
// to write), JPEG through libjpeg with an error manager that turns its errors and its
// warnings (a truncated file is only a warning to it, and decodes as grey)
// into a failure.
#include "image/image_codec.h"

#include <jpeglib.h>
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "calibration_utils/undistortion.h"

namespace camcal {

namespace {

constexpr int kJpegQuality = 95;

// "" when a header's width x height is the wanted size (or any size not
// above the largest an undistortion takes), else why not.
std::string sizeRefusal(unsigned long long width, unsigned long long height,
                        const WantedSize& wanted) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (wanted.width > 0 && wanted.height > 0) {
    if (width == static_cast<unsigned long long>(wanted.width) &&
        height == static_cast<unsigned long long>(wanted.height)) {
      return "";
    }
    return "the image is " + size + ", not the camera's " + std::to_string(wanted.width) + "x" +
           std::to_string(wanted.height);
  }
  const unsigned long long most = dravik::calibration::kMaxUndistortionPixels;
  if (width == 0 || height == 0 || width > most || height > most || width * height > most) {
    return "the image is " + size + ", not 1 to " + std::to_string(most) + " pixels";
  }
  return "";
}

bool isPng(const std::string& bytes) {
  return bytes.size() >= 8 &&
         png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) == 0;
}
bool isJpeg(const std::string& bytes) {
  return bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
         static_cast<unsigned char>(bytes[1]) == 0xD8 &&
         static_cast<unsigned char>(bytes[2]) == 0xFF;
}

// libpng reads from memory through this cursor; reading past the end is an
// error of the image (it is truncated).
struct PngSource {
  const std::string* bytes;
  size_t offset;
  char message[200];
};

void pngRead(png_structp png, png_bytep out, png_size_t count) {
  PngSource* source = static_cast<PngSource*>(png_get_io_ptr(png));
  if (count > source->bytes->size() - source->offset) png_error(png, "Read beyond the end");
  std::memcpy(out, source->bytes->data() + source->offset, count);
  source->offset += count;
}

[[noreturn]] void pngFailure(png_structp png, png_const_charp message) {
  PngSource* source = static_cast<PngSource*>(png_get_error_ptr(png));
  std::snprintf(source->message, sizeof(source->message), "%s", message);
  png_longjmp(png, 1);
}

void pngWarning(png_structp, png_const_charp) {}

// The bytes the image's compressed stream must inflate to: each row of each
// interlace pass with its filter byte.
unsigned long long rawPngBytes(unsigned long long width, unsigned long long height,
                               int bits_per_pixel, bool interlaced) {
  const auto rows = [&](unsigned long long w, unsigned long long h) {
    return w == 0 || h == 0 ? 0 : h * (1 + (w * bits_per_pixel + 7) / 8);
  };
  if (!interlaced) return rows(width, height);
  // Adam7: the first column and row of each pass, and its steps.
  const int x0[] = {0, 4, 0, 2, 0, 1, 0}, dx[] = {8, 8, 4, 4, 2, 2, 1};
  const int y0[] = {0, 0, 4, 0, 2, 0, 1}, dy[] = {8, 8, 8, 4, 4, 2, 2};
  unsigned long long total = 0;
  for (int pass = 0; pass < 7; ++pass) {
    const auto count = [](unsigned long long n, int first, int step) {
      return n > unsigned(first) ? (n - first + step - 1) / step : 0;
    };
    total += rows(count(width, x0[pass], dx[pass]), count(height, y0[pass], dy[pass]));
  }
  return total;
}

// True when the IDAT stream inflates to more than `expected` bytes: a
// decompression bomb hides gigabytes after the last row, which libpng would
// inflate to the end. Inflates at most expected + 1 bytes; a stream that is
// damaged is left for libpng to report.
bool inflatesBeyond(const std::string& bytes, unsigned long long expected) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return false;
  unsigned char out[1 << 16];
  unsigned long long total = 0;
  int status = Z_OK;
  for (size_t at = 8; status == Z_OK && total <= expected && bytes.size() - at >= 12;) {
    const auto byte = [&](size_t i) { return size_t(static_cast<unsigned char>(bytes[at + i])); };
    const size_t length = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    if (length > bytes.size() - at - 12) break;
    if (bytes.compare(at + 4, 4, "IDAT") == 0) {
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data() + at + 8));
      stream.avail_in = static_cast<uInt>(length);
      while (status == Z_OK && stream.avail_in > 0 && total <= expected) {
        stream.next_out = out;
        stream.avail_out = sizeof(out);
        status = inflate(&stream, Z_NO_FLUSH);
        total += sizeof(out) - stream.avail_out;
      }
    }
    at += length + 12;
  }
  inflateEnd(&stream);
  return total > expected;
}

// The rows of the image and nothing after them: the compressed data beyond
// the last row (a decompression bomb may hide gigabytes there) is never
// inflated. Palette, low-depth gray and transparency are expanded to 8-bit
// gray, RGB or RGBA (gray with alpha becomes RGBA); 16-bit channels are
// refused, not narrowed.
bool decodePng(const std::string& bytes, const WantedSize& wanted, Image* image,
               std::string* reason) {
  PngSource source{&bytes, 0, ""};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, pngFailure, pngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *reason = "cannot decode PNG: out of memory";
    return false;
  }
  std::vector<png_bytep> rows;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    *reason = std::string("truncated or corrupt PNG image (") + source.message + ")";
    image->pixels.clear();
    image->pixels.shrink_to_fit();
    return false;
  }
  png_set_read_fn(png, &source, pngRead);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int depth = png_get_bit_depth(png, info);
  const int type = png_get_color_type(png, info);
  *reason = depth == 16 ? "a 16-bit PNG image: camcal undistorts 8-bit images only"
                        : sizeRefusal(width, height, wanted);
  if (!reason->empty()) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  const bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  if (inflatesBeyond(bytes,
                     rawPngBytes(width, height, depth * png_get_channels(png, info), interlaced))) {
    png_error(png, "Too much image data");
  }
  const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (transparency) png_set_tRNS_to_alpha(png);
  if (type == PNG_COLOR_TYPE_GRAY_ALPHA || (type == PNG_COLOR_TYPE_GRAY && transparency)) {
    png_set_gray_to_rgb(png);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const int channels = png_get_channels(png, info);
  const size_t stride = size_t(width) * channels;
  if ((channels != 1 && channels != 3 && channels != 4) || png_get_rowbytes(png, info) != stride) {
    png_error(png, "Unexpected channel layout");
  }
  image->width = int(width);
  image->height = int(height);
  image->channels = channels;
  image->pixels.assign(stride * height, 0);
  rows.resize(height);
  for (png_uint_32 v = 0; v < height; ++v) rows[v] = image->pixels.data() + stride * v;
  png_read_image(png, rows.data());
  png_destroy_read_struct(&png, &info, nullptr);
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

// Called by libjpeg as it reads: ends the decode at the scan beyond the limit.
void jpegProgress(j_common_ptr info) {
  if (!info->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxJpegScans) {
    JpegErrors* errors = reinterpret_cast<JpegErrors*>(info->err);
    std::snprintf(errors->message, sizeof(errors->message), "more than %d scans", kMaxJpegScans);
    std::longjmp(errors->jump, 1);
  }
}

// The decoder's state lives outside the setjmp frame's locals that change.
bool decodeJpeg(const std::string& bytes, const WantedSize& wanted, Image* image,
                std::string* reason) {
  jpeg_decompress_struct info;
  JpegErrors errors;
  jpeg_progress_mgr progress{};
  progress.progress_monitor = jpegProgress;
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
  info.progress = &progress;
  jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  info.out_color_space = info.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  // The header is read up to the first scan: a wrong size is refused before
  // any scan is decoded.
  *reason = sizeRefusal(info.image_width, info.image_height, wanted);
  if (!reason->empty()) {
    jpeg_destroy_decompress(&info);
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

bool decodeImage(const std::string& bytes, const WantedSize& wanted, Image* image,
                 std::string* reason) {
  if (isPng(bytes)) return decodePng(bytes, wanted, image, reason);
  if (isJpeg(bytes)) return decodeJpeg(bytes, wanted, image, reason);
  *reason = "not a PNG or JPEG image";
  return false;
}

bool encodeImage(const Image& image, bool jpeg, std::string* bytes, std::string* reason) {
  return jpeg ? encodeJpeg(image, bytes, reason) : encodePng(image, bytes, reason);
}

}  // namespace camcal
