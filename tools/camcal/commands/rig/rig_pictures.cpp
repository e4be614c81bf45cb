#include "rig_pictures.h"

#include <cctype>

namespace camcal {

std::string coveragePictureName(const std::string& camera) {
  std::string name = "coverage_";
  for (const char c : camera) {
    name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' ? c : '_';
  }
  return name + ".png";
}

std::vector<Picture> drawRigPictures(const RigPlot& rig, const std::vector<RigCoverage>& coverage) {
  std::vector<Picture> pictures = {{"rig.png", plotRig(rig)}};
  for (const RigCoverage& camera : coverage) {
    pictures.push_back({coveragePictureName(camera.camera),
                        plotCoverage(coveragePlotOf(camera.run, camera.camera))});
  }
  return pictures;
}

}  // namespace camcal
