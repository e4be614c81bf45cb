// Drawing the pictures of camcal through cairo: one canvas that renders to
// SVG or PNG, text placed by an anchor, and axes with round tick values.
//
// Coordinates are canvas points, origin at the top left, y downwards; a PNG
// has one pixel per point of the picture, which may scale the layout.
#pragma once

#include <cairo.h>

#include <functional>
#include <string>
#include <vector>

namespace camcal {

enum class PictureFormat { kSvg, kPng };

// By the extension of path (.svg or .png, any case); anything else is a usage
// error naming the path.
PictureFormat pictureFormatOf(const std::string& path);

// A colour with components in [0, 1].
struct Colour {
  double r, g, b;
};

// Where the given point lies on the text: kLeft puts the text's left end,
// kCentre its middle, kRight its right end on the point; the point lies on
// the text's vertical middle.
enum class Anchor { kLeft, kCentre, kRight };

class PlotCanvas {
 public:
  // A width x height layout; the picture is picture_width pixels (points)
  // wide with everything scaled to it, or the layout's own size when 0.
  PlotCanvas(int width, int height, PictureFormat format, const std::string& title,
             int picture_width = 0);
  ~PlotCanvas();
  PlotCanvas(const PlotCanvas&) = delete;
  PlotCanvas& operator=(const PlotCanvas&) = delete;

  cairo_t* cr() const { return cr_; }
  int width() const { return width_; }
  int height() const { return height_; }

  void setColour(const Colour& colour, double alpha = 1.0);
  // Text of `size` points, rotated by `angle` radians (counter-clockwise as
  // seen, about the anchor point).
  void text(double x, double y, const std::string& text, double size, Anchor anchor,
            double angle = 0.0, bool bold = false);
  double textWidth(const std::string& text, double size, bool bold = false);
  // Text on a white box, for labels drawn over a picture.
  void boxedText(double x, double y, const std::string& text, double size);

  // The finished picture: SVG text carrying the title as its <title>, or PNG
  // bytes.
  std::string finish();

 private:
  PictureFormat format_;
  int width_;
  int height_;
  std::string title_;
  std::string svg_;
  cairo_surface_t* surface_;
  cairo_t* cr_;
};

// A linear map from values to canvas coordinates.
struct AxisScale {
  double value_lo, value_hi;
  double canvas_lo, canvas_hi;
  double operator()(double value) const {
    return canvas_lo + (value - value_lo) * (canvas_hi - canvas_lo) / (value_hi - value_lo);
  }
};

// Round tick values (1, 2 or 5 times a power of ten apart) covering [lo, hi]
// with about `count` ticks; only values inside [lo, hi].
std::vector<double> niceTicks(double lo, double hi, int count);
// A tick value as short text: "1000", "2.5", "0.05".
std::string tickText(double value);

// Which side of a frame an axis's ticks stand on.
enum class TickSide { kBelow, kLeft, kRight };
// Tick marks `length` points long out from the frame's edge at canvas
// coordinate `edge` (a y for kBelow, an x for kLeft and kRight), the one of
// value t at at(t) along it and labelled tickText(t) in text of `size`
// points; in the current colour and line width.
void drawTicks(PlotCanvas& canvas, const std::vector<double>& values,
               const std::function<double(double)>& at, TickSide side, double edge,
               double size = 12, double length = 5);

}  // namespace camcal
