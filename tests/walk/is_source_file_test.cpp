#include <gtest/gtest.h>

#include "walk/walk.h"

namespace nivra {
namespace {

TEST(IsSourceFile, AcceptsOnlyCCppAndHInAnyCase) {
  const struct {
    const char* name;
    bool answer;
  } cases[] = {
      {"main.cpp", true},     {"MAIN.CPP", true},      {"Main.Cpp", true},
      {"util.c", true},       {"UTIL.H", true},        {"types.h", true},
      {"parser.tab.c", true}, {"a\\b.c", true},        {".h", true},
      {"lib.hpp", false},     {"lib.cc", false},       {"lib.cxx", false},
      {"lib.inl", false},     {"main.cpp.OLD", false}, {"main.c.bak", false},
      {"Makefile", false},    {"main.", false},        {"main.c.", false},
      {"", false},            {"c", false},            {"main.c ", false},
      {"main.cp", false},     {"main.cppp", false},    {"main.\xC3\xA7", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_source_file(c.name), c.answer) << c.name;
}

}  // namespace
}  // namespace nivra
