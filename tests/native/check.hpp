// A minimal test harness for the core: TEST cases register themselves; CHECK records failures.
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

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}
inline int& failures() {
  static int n = 0;
  return n;
}

struct Register {
  Register(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

template <class A, class B>
void check_eq(const A& a, const B& b, const char* ea, const char* eb, const char* file, int line) {
  if (!(a == b)) {
    std::ostringstream os;
    os << file << ":" << line << ": CHECK_EQ(" << ea << ", " << eb << ") failed";
    if constexpr (requires(std::ostream & o) { o << a << b; }) os << ": [" << a << "] vs [" << b << "]";
    std::cout << os.str() << "\n";
    ++failures();
  }
}

}  // namespace pwtest

#define PW_CONCAT2(a, b) a##b
#define PW_CONCAT(a, b) PW_CONCAT2(a, b)
#define TEST(name)                                                 \
  static void name();                                              \
  static pwtest::Register PW_CONCAT(register_, name)(#name, name); \
  static void name()
#define CHECK(cond)                                                              \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::cout << __FILE__ << ":" << __LINE__ << ": CHECK(" #cond ") failed\n"; \
      ++pwtest::failures();                                                      \
    }                                                                            \
  } while (0)
#define CHECK_EQ(a, b) pwtest::check_eq((a), (b), #a, #b, __FILE__, __LINE__)
