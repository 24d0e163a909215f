// The range carver (direct and from a page's unit map) over buffers assembled from text runs at even offsets, text
// one byte off and non-text units: the hits of a range are the planted runs cut to it. Every small buffer length
// (the scalar path, the windowed path near buffer ends) and long buffers with runs across 64-unit windows.
#include <iterator>
#include <random>
#include <vector>

#include "carve/range_carver.hpp"
#include "check.hpp"

using namespace pw;
using Buf = std::vector<std::uint8_t>;
using Hits = std::vector<std::pair<std::uint64_t, std::string>>;  // (offset, text)

TEST(range_carver_finds_the_planted_runs) {
  static const std::uint8_t kNoise[][2] = {{0x7F, 0}, {0x1F, 0}, {0x41, 1}, {0, 0}, {0xE9, 0}, {0x20, 0xFF}};
  std::mt19937 rng(1234);
  std::vector<std::size_t> lengths(300);
  for (std::size_t n = 0; n < lengths.size(); ++n) lengths[n] = n;
  lengths.insert(lengths.end(), {1024, 4096, 4097, 8191});
  for (const std::size_t n : lengths) {
    Buf bytes;
    Hits runs;  // every maximal run of text units at an even offset
    while (bytes.size() < n) {
      std::string text(1 + rng() % (n < 300 ? 12 : 200), ' ');
      for (char& c : text) c = static_cast<char>(rng() % 3 ? 'a' + rng() % 3 : 0x20 + rng() % 0x5F);
      const unsigned roll = rng() % 3;  // 0: a run, 1: the text one byte off, 2: no text
      if (roll == 0) runs.push_back({bytes.size(), text});
      if (roll == 1) bytes.push_back(1);  // then each unit at an even offset has a non-zero high byte
      for (char c : roll < 2 ? text : "") bytes.insert(bytes.end(), {static_cast<std::uint8_t>(c), 0});
      if (roll == 1) bytes.push_back(1);
      const auto* noise = kNoise[rng() % std::size(kNoise)];
      bytes.insert(bytes.end(), {noise[0], noise[1]});
    }
    bytes.resize(n);
    TextUnitMap map;
    map.assign(bytes);
    for (int trial = 0; trial < 6; ++trial) {
      const std::uint64_t start = n && trial ? rng() % (n + 1) : 0;  // trial 0: the whole buffer
      std::uint64_t end = trial ? start + (n > start ? rng() % (n - start + 1) : 0) + (trial == 4) * 9 : n;
      if (trial == 2) end = start + (start & 1) + 130;  // one unit past the end of the first 64-unit window
      const std::uint64_t min_chars = n < 300 ? 1 + rng() % 5 : std::vector<int>{1, 3, 64, 65, 130}[rng() % 5];
      const std::string needle = trial % 3 == 0 ? "ab" : "";
      const std::size_t max_hits = trial == 5 ? 2 : 100000;
      // The runs inside [start, end) from its first even offset, cut to whole units before its end.
      Hits want;
      const std::uint64_t first = start + (start & 1), stop = std::min<std::uint64_t>(end, n) & ~std::uint64_t{1};
      for (const auto& [offset, text] : runs) {
        const std::uint64_t s = std::max(offset, first), e = std::min(offset + 2 * text.size(), stop);
        if (s >= e || (e - s) / 2 < min_chars || want.size() == max_hits) continue;
        const std::string part = text.substr((s - offset) / 2, (e - s) / 2);
        if (part.find(needle) != std::string::npos) want.push_back({s, part});
      }
      std::vector<CarvedString> direct, mapped;
      const auto n_opt = needle.empty() ? std::nullopt : std::optional<std::string>(needle);
      carve_utf16le_from_range(7, bytes, start, end, "slack", 2, "leaf", nullptr, n_opt, min_chars, max_hits, direct);
      carve_utf16le_from_range(map, 7, start, end, "slack", 2, "leaf", nullptr, n_opt, min_chars, max_hits, mapped);
      for (const auto* got : {&direct, &mapped}) {
        Hits hits;
        for (const auto& h : *got) {
          const bool context = h.page == 7 && h.slack_start == start && h.slack_end == end && h.page_type == "leaf";
          hits.push_back({context ? h.offset : ~0ull, h.text});
        }
        if (hits != want) std::cout << "buffer " << n << " [" << start << ", " << end << ") min " << min_chars << "\n";
        CHECK(hits == want);
      }
    }
  }
}
