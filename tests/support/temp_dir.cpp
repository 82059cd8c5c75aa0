// Temporary simulator directories for tests that touch the module's files.
#include "support/temp_dir.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace qel::test {

namespace fs = std::filesystem;

TempSimDir::TempSimDir() {
  previous_ = fs::current_path().string();
  fs::path base = fs::temp_directory_path();
  for (int attempt = 0;; ++attempt) {
    fs::path candidate =
        base / ("qel-test-" + std::to_string(std::rand()) + "-" + std::to_string(attempt));
    if (fs::create_directory(candidate)) {
      path_ = candidate.string();
      break;
    }
  }
  fs::create_directory(fs::path(path_) / "modules");
  fs::current_path(path_);
}

TempSimDir::~TempSimDir() {
  std::error_code ignored;
  fs::current_path(previous_, ignored);
  fs::remove_all(path_, ignored);
}

void TempSimDir::WriteModuleFile(const std::string& name, const std::string& bytes) const {
  std::ofstream out(fs::path(path_) / "modules" / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write test file " + name);
}

std::string TempSimDir::ReadModuleFile(const std::string& name) const {
  std::ifstream in(fs::path(path_) / "modules" / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void TempSimDir::RemoveModuleFile(const std::string& name) const {
  std::error_code ignored;
  fs::remove(fs::path(path_) / "modules" / name, ignored);
}

}  // namespace qel::test
