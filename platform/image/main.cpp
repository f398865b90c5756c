// Entry point of the Linux build: opens the machine image named by HALSHIFT_MACHINE and runs
// halshift against it with the command line joined as Windows would hand it over.
#include <cstdlib>
#include <iostream>
#include <string>

#include "app/app.h"
#include "platform/image/console.h"
#include "platform/image/machine_image.h"

int main(int argc, char** argv) {
  const char* machine = std::getenv("HALSHIFT_MACHINE");
  if (machine == nullptr || *machine == '\0') {
    std::cerr << "halshift: HALSHIFT_MACHINE does not name a machine image directory\n";
    return 0;  // a machine that cannot be read is left alone, with the exit code of a stop
  }
  std::string error;
  auto image = halshift::image::MachineImage::Open(machine, error);
  if (!image) {
    std::cerr << "halshift: " << error << "\n";
    return 0;
  }
  halshift::image::ConsoleUserInterface ui;
  halshift::image::ConsoleOutput out;
  halshift::image::SystemClock clock;
  halshift::platform::Platform platform{image->System(), image->Registry(), image->Files(),
                                        image->Memory(), image->Links(),    ui,
                                        out,             clock};
  std::string tail;
  for (int i = 1; i < argc; ++i) {
    if (!tail.empty()) tail += ' ';
    tail += argv[i];
  }
  halshift::HalUtilityApp app(platform);
  app.Startup(tail);
  return app.Shutdown();
}
