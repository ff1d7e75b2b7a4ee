// A fresh simulated machine for every test: SetUp creates one from template_name() in a new
// temporary directory and loads it; TearDown checks that no handle was left open and removes it.
#pragma once

#include <gtest/gtest.h>

#include <string>

class MachineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual std::string template_name() const { return "xp"; }
  // The machine's directory on the host.
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};
