// A private root for the SystemConfiguration files, removed after each test.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "platform/sysconfig.h"

class SysconfigRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/sysconfig-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    std::filesystem::create_directories(root_ + "/Library/Preferences/SystemConfiguration");
    sysconfig_set_root(root_);
  }
  void TearDown() override {
    sysconfig_set_root("");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::string prefs_path() const { return sysconfig_preferences_path(); }
  std::string store_path() const { return sysconfig_dynamic_store_path(); }
  static void write_file(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::trunc);
    f << text;
  }
  void write_prefs(const std::string& text) const { write_file(prefs_path(), text); }
  void write_store(const std::string& text) const { write_file(store_path(), text); }
  static nlohmann::ordered_json read_json(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return nlohmann::ordered_json::parse(ss.str(), nullptr, false);
  }

  std::string root_;
};
