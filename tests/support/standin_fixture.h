// A clean stand-in and IPC client for every test, a check that the test left no
// atom, handle, view or mapping alive, and a scoped override of one seam entry.
#pragma once

#include <gtest/gtest.h>

#include <type_traits>

#include "os/os_calls.h"

namespace qel::test {

class StandinFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// Replaces one entry of the live seam table for its lifetime, e.g.
//   OsOverride no_atom(&os::OsCalls::GlobalAddAtomA, [](const char*) -> os::Atom { return 0; });
template <typename Fn>
class OsOverride {
 public:
  OsOverride(Fn os::OsCalls::*entry, std::type_identity_t<Fn> replacement)
      : entry_(entry), saved_(os::Os().*entry) {
    os::Os().*entry_ = replacement;
  }
  ~OsOverride() { os::Os().*entry_ = saved_; }
  OsOverride(const OsOverride&) = delete;
  OsOverride& operator=(const OsOverride&) = delete;

 private:
  Fn os::OsCalls::*entry_;
  Fn saved_;
};

}  // namespace qel::test
