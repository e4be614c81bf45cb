#include <gtest/gtest.h>

#include <string>

#include "run_camcal.h"

namespace {

using camcal_test::Args;
using camcal_test::fails;
using camcal_test::kFailed;
using camcal_test::kPtzCal;
using camcal_test::kUsage;
using camcal_test::ScratchDir;

TEST(CamcalPtzHead, RefusesBadPositionsAndOutputsOverInputsBeforeAnyFit) {
  ScratchDir scratch;
  const std::string header_only = scratch.write("header.csv", "image,pan,tilt,zoom\n");
  const std::string bad_header = scratch.write("header2.csv", "image,pan,tilt\nview.png,1,2\n");
  const std::string fractional = scratch.write("steps.csv", "image,pan,tilt,zoom\nv.png,1.5,2,0\n");
  const std::string missing = scratch.write("missing.csv", "image,pan,tilt,zoom\nv.png,1,2,0\n");
  const std::string other = scratch.write("other.txt", "");
  const auto head = [&](const std::string& positions, Args more = {}) {
    Args args = {"ptz-head",    "--board", "9x6",           "--square", "0.1",
                 "--positions", positions, "--calibration", kPtzCal};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  camcal_test::expectRuns({
      fails(kFailed, head(header_only), "header.csv: no picture listed"),
      fails(kFailed, head(bad_header), "header2.csv:1: expected the header image,pan,tilt,zoom"),
      fails(kFailed, head(fractional), "steps.csv:2: the motor positions must be whole steps"),
      fails(kFailed, head(missing), "v.png: cannot read"),
      fails(kUsage, head(missing, {"-o", missing}), "an output never replaces an input"),
      fails(kUsage, head(missing, {"--into", other}), "is not the --calibration file"),
  });
}

}  // namespace
