// The open-file chooser of the terminal face over a machine image's drives and folders: the one
// tie between the terminal and the image.
//
// May contain: C++ standard library calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/machine_image.h"
#include "platform/platform.h"
#include "platform/terminal/file_chooser.h"

namespace halshift::terminal {

// The machine image's drives and folders for the chooser.
class ImageBrowseSource : public BrowseSource {
 public:
  ImageBrowseSource(image::MachineImage& image, platform::FileSystem& files) : image_(image), files_(files) {}
  std::vector<char> Drives() override;
  std::optional<std::vector<DirectoryEntry>> List(std::string_view directory) override;
  // The root of the first CD-ROM drive with media, else of the first drive with media.
  std::string StartDirectory() override;

 private:
  image::MachineImage& image_;
  platform::FileSystem& files_;
};

}  // namespace halshift::terminal
