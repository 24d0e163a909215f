#include "check.hpp"

int main() {
  for (const auto& [name, body] : pwtest::registry) {
    const int before = pwtest::failures;
    body();
    if (pwtest::failures != before) std::cout << "FAILED " << name << "\n";
  }
  std::cout << pwtest::registry.size() << " cases, " << pwtest::failures << " failed checks\n";
  return pwtest::failures == 0 ? 0 : 1;
}
