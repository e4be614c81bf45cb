#include "plot/plot_canvas.h"

#include <cairo-svg.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "cli/command_error.h"
#include "plot/palette.h"

namespace camcal {

namespace {

constexpr const char* kFontFamily = "DejaVu Sans";

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

PictureFormat pictureFormatOf(const std::string& path) {
  const std::string name = lowercase(path);
  if (endsWith(name, ".svg")) return PictureFormat::kSvg;
  if (endsWith(name, ".png")) return PictureFormat::kPng;
  throw usageError("cannot tell the picture format of '" + path +
                   "': name the output NAME.svg or NAME.png");
}

PlotCanvas::PlotCanvas(int width, int height, PictureFormat format, const std::string& title,
                       int picture_width)
    : format_(format), width_(width), height_(height), title_(title) {
  const double scale = picture_width > 0 ? double(picture_width) / width : 1.0;
  const int picture_height = static_cast<int>(std::lround(height * scale));
  if (picture_width <= 0) picture_width = width;
  surface_ =
      format == PictureFormat::kSvg
          ? cairo_svg_surface_create_for_stream(appendTo, &svg_, picture_width, picture_height)
          : cairo_image_surface_create(CAIRO_FORMAT_RGB24, picture_width, picture_height);
  cr_ = cairo_create(surface_);
  cairo_scale(cr_, scale, scale);
  cairo_set_source_rgb(cr_, 1, 1, 1);
  cairo_paint(cr_);
}

PlotCanvas::~PlotCanvas() {
  cairo_destroy(cr_);
  cairo_surface_destroy(surface_);
}

void PlotCanvas::setColour(const Colour& colour, double alpha) {
  cairo_set_source_rgba(cr_, colour.r, colour.g, colour.b, alpha);
}

double PlotCanvas::textWidth(const std::string& text, double size, bool bold) {
  cairo_select_font_face(cr_, kFontFamily, CAIRO_FONT_SLANT_NORMAL,
                         bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr_, size);
  cairo_text_extents_t extents;
  cairo_text_extents(cr_, text.c_str(), &extents);
  return extents.x_advance;
}

void PlotCanvas::text(double x, double y, const std::string& text, double size, Anchor anchor,
                      double angle, bool bold) {
  const double width = textWidth(text, size, bold);
  cairo_font_extents_t font;
  cairo_font_extents(cr_, &font);
  const double shift = anchor == Anchor::kLeft     ? 0.0
                       : anchor == Anchor::kCentre ? width / 2
                                                   : width;
  cairo_save(cr_);
  cairo_translate(cr_, x, y);
  cairo_rotate(cr_, -angle);
  // The vertical middle of capitals and digits: about 0.36 of the size above
  // the baseline.
  cairo_move_to(cr_, -shift, 0.36 * size);
  cairo_show_text(cr_, text.c_str());
  cairo_restore(cr_);
}

void PlotCanvas::boxedText(double x, double y, const std::string& label, double size) {
  const double width = textWidth(label, size);
  cairo_save(cr_);
  setColour(palette::kWhite, 0.85);
  cairo_rectangle(cr_, x - width / 2 - 2, y - 0.6 * size, width + 4, 1.2 * size);
  cairo_fill(cr_);
  setColour(palette::kInk);
  text(x, y, label, size, Anchor::kCentre);
  cairo_restore(cr_);
}

std::string PlotCanvas::finish() {
  cairo_surface_flush(surface_);
  if (cairo_status(cr_) != CAIRO_STATUS_SUCCESS) {
    throw operationError(std::string("cannot draw the picture: ") +
                         cairo_status_to_string(cairo_status(cr_)));
  }
  if (format_ == PictureFormat::kPng) {
    std::string png;
    if (cairo_surface_write_to_png_stream(surface_, appendTo, &png) != CAIRO_STATUS_SUCCESS) {
      throw operationError("cannot encode the PNG picture");
    }
    return png;
  }
  cairo_surface_finish(surface_);
  // cairo draws text as glyph outlines; the title goes in as text as well,
  // for viewers, search and readers of the file.
  const size_t root = svg_.find("<svg");
  const size_t root_end = root == std::string::npos ? root : svg_.find('>', root);
  if (root_end == std::string::npos) throw operationError("cannot encode the SVG picture");
  std::string svg = svg_;
  svg.insert(root_end + 1, "\n<title>" + xmlEscaped(title_) + "</title>");
  return svg;
}

std::vector<double> niceTicks(double lo, double hi, int count) {
  std::vector<double> ticks;
  if (!(hi > lo) || count < 1) return ticks;
  const double raw = (hi - lo) / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  double step = power;
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    step = m * power;
    // A range a rounding above a round step (0.6 / 6) takes that step.
    if (step >= raw * (1 - 1e-12)) break;
  }
  // Each tick a whole multiple of the step, counted rather than summed: no
  // drift, and an end even where the step is below the values' resolution.
  const double first = std::ceil(lo / step - 1e-9), last = std::floor(hi / step + 1e-9);
  for (double k = first; k <= last && ticks.size() <= size_t(count) * 10; ++k) {
    const double t = k * step;
    ticks.push_back(std::abs(t) < step * 1e-9 ? 0.0 : t);
  }
  return ticks;
}

std::string tickText(double value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", value);
  return text;
}

void drawTicks(PlotCanvas& canvas, const std::vector<double>& values,
               const std::function<double(double)>& at, TickSide side, double edge, double size,
               double length) {
  cairo_t* cr = canvas.cr();
  for (const double t : values) {
    const double p = at(t);
    if (side == TickSide::kBelow) {
      cairo_move_to(cr, p, edge);
      cairo_line_to(cr, p, edge + length);
      cairo_stroke(cr);
      canvas.text(p, edge + (length + 11), tickText(t), size, Anchor::kCentre);
    } else if (side == TickSide::kLeft) {
      cairo_move_to(cr, edge - length, p);
      cairo_line_to(cr, edge, p);
      cairo_stroke(cr);
      canvas.text(edge - (length + 3), p, tickText(t), size, Anchor::kRight);
    } else {
      cairo_move_to(cr, edge, p);
      cairo_line_to(cr, edge + length, p);
      cairo_stroke(cr);
      canvas.text(edge + (length + 3), p, tickText(t), size, Anchor::kLeft);
    }
  }
}

}  // namespace camcal
