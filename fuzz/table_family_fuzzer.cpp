// libFuzzer target: one input is a table family (family_scan.h describes
// the container), written to a scratch directory and read through the
// engine. Any crash, sanitizer report, leak or hang is a finding.
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "fuzz/family_scan.h"

namespace {

const std::string& ScratchDirectory() {
  static const std::string dir = [] {
    // Changes flush their files: in memory that costs little.
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (std::filesystem::is_directory("/dev/shm")) base = "/dev/shm";
    std::string t = (base / "quarry-fuzz-XXXXXX").string();
    return std::string(mkdtemp(t.data()));
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::ScanFamily(ScratchDirectory(), fuzz::Unpack(data, size));
  return 0;
}
