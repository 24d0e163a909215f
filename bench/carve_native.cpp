// carve_native: the time of carve_scoped over one database, per scope, without the Python layer (for perf and
// callgrind).
//
//   carve_native FILE [--script ascii|any] [--scope SCOPE]... [--needle TEXT] [--min-chars N] [--repeat N]
//
// Prints, per scope: the best time of --repeat runs, the hits, and the file's size divided by that time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carve/scoped_carver.hpp"
#include "database.hpp"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: carve_native FILE [--script ascii|any] [--scope SCOPE]... [--needle TEXT] "
               "[--min-chars N] [--repeat N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string path = argv[1];
  pw::CarveOptions options;
  std::vector<std::string_view> scopes;
  std::optional<std::string> needle;
  std::uint64_t min_chars = 6;
  int repeat = 3;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return usage();
    const char* value = argv[++i];
    if (arg == "--script") {
      options.any_script = std::string_view(value) == "any";
    } else if (arg == "--scope") {
      if (!pw::parse_carve_scope(value)) return usage();
      scopes.emplace_back(value);
    } else if (arg == "--needle") {
      needle = value;
    } else if (arg == "--min-chars") {
      min_chars = std::strtoull(value, nullptr, 10);
    } else if (arg == "--repeat") {
      repeat = std::max(1, std::atoi(value));
    } else {
      return usage();
    }
  }
  if (scopes.empty()) scopes = {"slack", "all", "tag_data", "lv_all", "lv_slack"};

  auto db = pw::Database::open(path);
  if (!db) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), db.error().to_string().c_str());
    return 1;
  }
  const double size = static_cast<double>((*db)->file_bytes().size());
  std::printf("%-10s %-6s %9s %10s %9s\n", "scope", "script", "seconds", "hits", "GB/s");
  for (const std::string_view word : scopes) {
    const pw::CarveScope scope = *pw::parse_carve_scope(word);
    double best = std::numeric_limits<double>::infinity();
    std::size_t hits = 0;
    for (int r = 0; r < repeat; ++r) {
      const auto start = std::chrono::steady_clock::now();
      const auto result = pw::carve_scoped(**db, scope, needle, min_chars, UINT64_MAX, options);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      best = std::min(best, took.count());
      hits = result.hits.size();
    }
    std::printf("%-10.*s %-6s %9.3f %10zu %9.2f\n", static_cast<int>(word.size()), word.data(),
                options.any_script ? "any" : "ascii", best, hits, size / best / 1e9);
  }
  return 0;
}
