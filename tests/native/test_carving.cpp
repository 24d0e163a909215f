// The range carver against a unit-by-unit reference scan, on buffers of every small length (the scalar path
// for short buffers and the windowed path near buffer ends) and random contents biased towards text.
#include <random>
#include <vector>

#include "carve/range_carver.hpp"
#include "check.hpp"

using namespace pw;
using Buf = std::vector<std::uint8_t>;

namespace {

struct Hit {
  std::uint64_t offset;
  std::string text;
  bool operator==(const Hit&) const = default;
};

// The scan as the format of the hits describes it, one code unit at a time.
std::vector<Hit> reference(const Buf& d, std::uint64_t start, std::uint64_t end, std::uint64_t min_chars,
                           const std::string& needle, std::size_t max_hits) {
  std::vector<Hit> out;
  if (start >= end || start + 2 > end) return out;
  std::uint64_t pos = start;
  auto is_text = [&](std::uint64_t p) { return d[p + 1] == 0 && d[p] >= 0x20 && d[p] <= 0x7E; };
  for (;;) {
    if (out.size() >= max_hits) return out;
    if (pos % 2) {
      if (pos + 3 > end) return out;
      ++pos;
    }
    std::uint64_t p = pos;
    std::string text;
    while (p + 2 <= end && is_text(p)) {
      text.push_back(static_cast<char>(d[p]));
      p += 2;
    }
    if (text.size() < min_chars) {
      pos += 2;
    } else {
      if (needle.empty() || text.find(needle) != std::string::npos) {
        out.push_back({pos, text});
        if (out.size() >= max_hits) return out;
      }
      pos = p + 2;
    }
    if (pos + 2 > end) return out;
  }
}

std::vector<Hit> carved(const Buf& d, std::uint64_t start, std::uint64_t end, std::uint64_t min_chars,
                        const std::string& needle, std::size_t max_hits) {
  std::vector<CarvedString> hits;
  const std::optional<std::string> n = needle.empty() ? std::nullopt : std::optional<std::string>(needle);
  carve_utf16le_from_range(7, d, start, end, "slack", 2, "leaf", nullptr, n, min_chars, max_hits, hits);
  std::vector<Hit> out;
  for (const auto& h : hits) {
    if (h.page != 7 || h.slack_start != start || h.slack_end != end) return {{~0ull, "bad context"}};
    out.push_back({h.offset, h.text});
  }
  return out;
}

Buf random_text_buffer(std::mt19937& rng, std::size_t n) {
  Buf b(n);
  for (std::size_t i = 0; i + 1 < n; i += 2) {
    const unsigned roll = rng() % 10;
    b[i] = roll < 7 ? static_cast<std::uint8_t>('a' + rng() % 3) : static_cast<std::uint8_t>(rng());
    b[i + 1] = roll < 8 ? 0 : static_cast<std::uint8_t>(rng());
  }
  if (n % 2) b[n - 1] = static_cast<std::uint8_t>(rng());
  return b;
}

}  // namespace

TEST(range_carver_matches_reference_on_short_and_odd_ranges) {
  std::mt19937 rng(1234);
  for (std::size_t n = 0; n < 300; ++n) {
    const Buf buf = random_text_buffer(rng, n);
    for (int trial = 0; trial < 6; ++trial) {
      const std::uint64_t start = n ? rng() % (n + 1) : 0;
      const std::uint64_t end = start + (n > start ? rng() % (n - start + 1) : 0);
      const std::uint64_t min_chars = 2 + rng() % 4;
      const std::string needle = trial % 3 == 0 ? "ab" : "";
      const std::size_t max_hits = trial == 5 ? 2 : 1000;
      const auto want = reference(buf, start, end, min_chars, needle, max_hits);
      const auto got = carved(buf, start, end, min_chars, needle, max_hits);
      if (want != got) {
        std::cout << "buffer " << n << " range [" << start << ", " << end << ") min " << min_chars << "\n";
      }
      CHECK(want == got);
    }
  }
}

TEST(range_carver_on_long_buffers_with_runs_across_windows) {
  std::mt19937 rng(99);
  for (std::size_t n : {1024u, 4096u, 4097u, 8191u}) {
    const Buf buf = random_text_buffer(rng, n);
    for (std::uint64_t min_chars : {2u, 3u, 6u, 70u}) {
      CHECK(reference(buf, 0, n, min_chars, "", 100000) == carved(buf, 0, n, min_chars, "", 100000));
      CHECK(reference(buf, 1, n - 1, min_chars, "b", 100000) == carved(buf, 1, n - 1, min_chars, "b", 100000));
    }
  }
}
