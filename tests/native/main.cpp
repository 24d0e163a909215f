#include "check.hpp"

int main() {
  int run = 0;
  for (const auto& c : pwtest::registry()) {
    const int before = pwtest::failures();
    c.body();
    ++run;
    if (pwtest::failures() != before) std::cout << "FAILED " << c.name << "\n";
  }
  std::cout << run << " cases, " << pwtest::failures() << " failed checks\n";
  return pwtest::failures() == 0 ? 0 : 1;
}
