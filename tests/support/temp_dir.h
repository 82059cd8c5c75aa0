// A fresh simulator directory for a test: a temporary folder with its modules
// folder, made the current directory for the test's duration.
#pragma once

#include <string>

namespace qel::test {

class TempSimDir {
 public:
  TempSimDir();
  ~TempSimDir();
  TempSimDir(const TempSimDir&) = delete;
  TempSimDir& operator=(const TempSimDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes bytes as they stand to modules/<name>.
  void WriteModuleFile(const std::string& name, const std::string& bytes) const;
  std::string ReadModuleFile(const std::string& name) const;
  void RemoveModuleFile(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;
};

}  // namespace qel::test
