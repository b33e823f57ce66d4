#pragma once
// A folder of its own for one test, removed afterwards, with small helpers
// to put and read whole files in it.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace pf::testing {

class TempFolderTest : public ::testing::Test {
 protected:
  explicit TempFolderTest(std::string prefix) : prefix_(std::move(prefix)) {}
  void SetUp() override {
    dir = std::filesystem::temp_directory_path() /
          (prefix_ + "-" + std::to_string(std::random_device{}()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string Path(const std::string& name) const { return (dir / name).string(); }
  void Put(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string Get(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::filesystem::path dir;

 private:
  std::string prefix_;
};

}  // namespace pf::testing
