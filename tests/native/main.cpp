#include "check.hpp"

int main() {
  for (const auto& c : pwtest::registry) {
    const int before = pwtest::failures;
    c.body();
    if (pwtest::failures != before) std::cout << "FAILED " << c.name << "\n";
  }
  std::cout << pwtest::registry.size() << " cases, " << pwtest::failures << " failed checks\n";
  return pwtest::failures == 0 ? 0 : 1;
}
