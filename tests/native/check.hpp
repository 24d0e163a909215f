// A minimal test harness for the core: TEST cases register themselves; CHECK and CHECK_EQ count failures.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace pwtest {

struct Case {
  const char* name;
  std::function<void()> body;
};

inline std::vector<Case> registry;
inline int failures = 0;

struct Register {
  Register(const char* name, std::function<void()> body) { registry.push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
  std::cout << file << ":" << line << ": " << what << " failed\n";
  ++failures;
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
  if (a == b) return;
  std::ostringstream os;
  os << "CHECK_EQ(" << ea << ", " << eb << ")";
  if constexpr (requires(std::ostream & o) { o << a << b; }) os << ": [" << a << "] vs [" << b << "]";
  fail(file, line, os.str());
}

}  // namespace pwtest

#define TEST(name)                                      \
  static void name();                                   \
  static pwtest::Register register_##name(#name, name); \
  static void name()
#define CHECK(cond) ((cond) ? void() : pwtest::fail(__FILE__, __LINE__, "CHECK(" #cond ")"))
#define CHECK_EQ(a, b) pwtest::check_eq((a), (b), #a, #b, __FILE__, __LINE__)
