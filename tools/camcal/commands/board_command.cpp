// camcal board --board BOARD [--square METRES] [--dpi N] -o FILE
// A printable calibration board, exactly the one `camcal calibrate --board`
// expects: a PNG at that many dots per inch, or for a .pdf name a PDF page
// at true scale; its parameters are printed in the margin.
#include <cairo-pdf.h>
#include <cairo.h>

#include <cmath>
#include <memory>
#include <opencv2/aruco/charuco.hpp>

#include "calibrate_corners.h"
#include "cli/command_error.h"
#include "cli/commands.h"
#include "cli/number_format.h"
#include "cli/output_file.h"

namespace camcal {

namespace {

constexpr double kPointsPerMetre = 72.0 / 0.0254;  // PDF's unit
constexpr double kMarginM = 0.015;                 // white around the board's light margin
constexpr double kTextM = 0.012;                   // below it, the board's parameters

struct BoardOptions {
  std::string board;
  std::string square;
  int dpi = 300;
  std::string output;
};

cairo_status_t appendTo(void* closure, const unsigned char* data, unsigned int length) {
  static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
  return CAIRO_STATUS_SUCCESS;
}

// The board's squares (and markers) as a black and white image, one square
// `pixels` wide, with its light margin one square wide.
cv::Mat boardBitmap(const Board& board, int pixels) {
  const int squares_x = board.columns + 1, squares_y = board.rows + 1;
  cv::Mat squares;
  if (board.charuco) {
    cv::aruco::CharucoBoard::create(squares_x, squares_y, float(board.square_m),
                                    float(board.marker_m),
                                    cv::aruco::getPredefinedDictionary(board.dictionary_id))
        ->draw(cv::Size(squares_x * pixels, squares_y * pixels), squares, 0, 1);
  } else {
    // The square at the board's origin dark, as the detector's corners count.
    squares = cv::Mat(squares_y * pixels, squares_x * pixels, CV_8UC1);
    for (int y = 0; y < squares.rows; ++y)
      for (int x = 0; x < squares.cols; ++x) {
        squares.at<std::uint8_t>(y, x) = (x / pixels + y / pixels) % 2 == 0 ? 0 : 255;
      }
  }
  cv::Mat bitmap(squares.rows + 2 * pixels, squares.cols + 2 * pixels, CV_8UC1, cv::Scalar(255));
  squares.copyTo(bitmap(cv::Rect(pixels, pixels, squares.cols, squares.rows)));
  return bitmap;
}

// Draws the page in metres: the board at true size, its parameters below.
void drawPage(cairo_t* cr, const Board& board, const std::string& board_text) {
  const cv::Mat bitmap = boardBitmap(board, board.charuco ? 120 : 1);
  cairo_surface_t* image = cairo_image_surface_create(CAIRO_FORMAT_RGB24, bitmap.cols, bitmap.rows);
  cairo_surface_flush(image);
  unsigned char* data = cairo_image_surface_get_data(image);
  const int stride = cairo_image_surface_get_stride(image);
  for (int y = 0; y < bitmap.rows; ++y)
    for (int x = 0; x < bitmap.cols; ++x) {
      const std::uint32_t v = bitmap.at<std::uint8_t>(y, x);
      reinterpret_cast<std::uint32_t*>(data + y * stride)[x] = (v << 16) | (v << 8) | v;
    }
  cairo_surface_mark_dirty(image);

  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  const double board_w = (board.columns + 3) * board.square_m;
  const double board_h = (board.rows + 3) * board.square_m;
  cairo_save(cr);
  cairo_translate(cr, kMarginM, kMarginM);
  cairo_scale(cr, board_w / bitmap.cols, board_h / bitmap.rows);
  cairo_set_source_surface(cr, image, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_surface_destroy(image);

  cairo_set_source_rgb(cr, 0, 0, 0);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 0.004);
  cairo_move_to(cr, kMarginM, kMarginM + board_h + 0.006);
  const std::string line =
      "camcal calibrate --board " + board_text +
      (board.charuco ? "" : " --square " + formatPrintf("%g", board.square_m)) + "   (" +
      describeBoard(board) + "; print at 100 %, then measure a square)";
  cairo_show_text(cr, line.c_str());
}

int runBoard(const BoardOptions& options) {
  const bool pdf = options.output.size() > 4 &&
                   options.output.compare(options.output.size() - 4, 4, ".pdf") == 0;
  const bool png = options.output.size() > 4 &&
                   options.output.compare(options.output.size() - 4, 4, ".png") == 0;
  if (!pdf && !png) {
    throw usageError("board: cannot tell the format of '" + options.output +
                     "': name the output NAME.png or NAME.pdf");
  }
  if (!isCharucoBoard(options.board) && options.square.empty()) {
    throw usageError("board: a chessboard needs --square METRES");
  }
  const Board board = parseBoard(options.board, options.square);
  const double page_w = (board.columns + 3) * board.square_m + 2 * kMarginM;
  const double page_h = (board.rows + 3) * board.square_m + 2 * kMarginM + kTextM;
  std::string bytes;
  cairo_surface_t* surface = nullptr;
  double scale = 0.0;
  if (pdf) {
    scale = kPointsPerMetre;
    surface = cairo_pdf_surface_create_for_stream(appendTo, &bytes, page_w * scale, page_h * scale);
  } else {
    scale = options.dpi / 0.0254;
    const double pixels = page_w * scale * page_h * scale;
    if (pixels > 400e6) {
      throw usageError("board: at " + std::to_string(options.dpi) +
                       " dpi the picture would be too large: lower --dpi");
    }
    surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(std::ceil(page_w * scale)),
                                         int(std::ceil(page_h * scale)));
  }
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, scale, scale);
  drawPage(cr, board, options.board);
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  if (png) cairo_surface_write_to_png_stream(surface, appendTo, &bytes);
  cairo_surface_finish(surface);
  const cairo_status_t status = cairo_surface_status(surface);
  cairo_surface_destroy(surface);
  if (status != CAIRO_STATUS_SUCCESS) {
    throw operationError(options.output + ": cannot draw: " + cairo_status_to_string(status));
  }
  writeOutput(options.output, bytes);
  return kExitSuccess;
}

}  // namespace

void addBoardCommand(CLI::App& app, Subcommands* commands) {
  auto options = std::make_shared<BoardOptions>();
  CLI::App* command = app.add_subcommand(
      "board",
      "A printable calibration board (chessboard or ChArUco), as calibrate --board takes it: "
      "PNG at --dpi, or PDF at true scale");
  command
      ->add_option("--board", options->board,
                   "COLSxROWS inner corners (with --square), or "
                   "charuco:COLSxROWS:SQUARE:MARKER:DICTIONARY")
      ->required();
  command->add_option("--square", options->square, "Side of a chessboard's square, metres");
  command->add_option("--dpi", options->dpi, "Dots per inch of a PNG")
      ->check(CLI::Range(50, 2400))
      ->capture_default_str();
  command->add_option("-o,--output", options->output, "NAME.png or NAME.pdf")->required();
  commands->push_back({command, [options] { return runBoard(*options); }});
}

}  // namespace camcal
