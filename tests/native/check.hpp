// A minimal test harness for the core: TEST cases register themselves; CHECK and CHECK_EQ count failures.
#pragma once

#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace pwtest {

inline std::vector<std::pair<const char*, std::function<void()>>> registry;  // (name, body) of every TEST
inline int failures = 0;

struct Register {
  Register(const char* name, std::function<void()> body) { registry.push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
  std::cout << file << ":" << line << ": " << what << " failed\n";
  ++failures;
}

// Values as printable ASCII (other bytes as \xNN), so that a failure's output is always valid text.
template <class T>
std::string printed(const T& value) {
  std::ostringstream raw, os;
  raw << value;
  for (const unsigned char c : raw.str()) (c >= 0x20 && c < 0x7F) ? os << c : os << "\\x" << std::hex << +c;
  return os.str();
}

template <class A, class B>
void check_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
  if (a == b) return;
  std::string what = std::string("CHECK_EQ(") + ea + ", " + eb + ")";
  if constexpr (requires(std::ostream & o) { o << a << b; }) what += ": [" + printed(a) + "] vs [" + printed(b) + "]";
  fail(file, line, what);
}

}  // namespace pwtest

#define TEST(name)                                      \
  static void name();                                   \
  static pwtest::Register register_##name(#name, name); \
  static void name()
#define CHECK(cond) ((cond) ? void() : pwtest::fail(__FILE__, __LINE__, "CHECK(" #cond ")"))
#define CHECK_EQ(a, b) pwtest::check_eq((a), (b), #a, #b, __FILE__, __LINE__)
