#include "hit_sink.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "../utils/utf8.hpp"

namespace pw {

HitSink::HitSink(std::uint32_t page, Bytes data, std::uint64_t start, std::uint64_t end, std::string_view region_kind,
                 std::uint32_t page_flags, std::string_view page_type, const SharedName& table,
                 const std::optional<std::string>& needle, std::uint64_t max_hits, std::vector<CarvedString>& hits)
    : page_(page),
      data_(data),
      start_(start),
      end_(end),
      region_kind_(region_kind),
      page_flags_(page_flags),
      page_type_(page_type),
      table_(table),
      max_hits_(max_hits),
      hits_(hits) {
  if (needle && !needle->empty()) needle_ = *needle;
}

bool HitSink::may_hold_needle(Bytes range) const {
  if (needle_.empty()) return true;
  std::string units;
  const auto* s = reinterpret_cast<const std::uint8_t*>(needle_.data());
  for (std::size_t i = 0; i < needle_.size();) {
    const Utf8Step step = utf8_step(s + i, needle_.size() - i);
    if (!step.valid) return true;
    std::uint32_t cp = step.length == 1 ? s[i] : s[i] & (0x7F >> step.length);
    for (std::size_t k = 1; k < step.length; ++k) cp = (cp << 6) | (s[i + k] & 0x3F);
    i += step.length;
    auto put = [&](std::uint32_t unit) {
      units.push_back(static_cast<char>(unit & 0xFF));
      units.push_back(static_cast<char>(unit >> 8));
    };
    if (cp > 0xFFFF) {
      put(0xD800 + ((cp - 0x10000) >> 10));
      put(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      put(cp);
    }
  }
  return std::string_view(reinterpret_cast<const char*>(range.data()), range.size()).find(units) !=
         std::string_view::npos;
}

bool HitSink::offer(std::size_t s, std::size_t e) {
  const Bytes run = data_.subspan(s, e - s);
  const std::size_t chars = run.size() / 2;
  if (!needle_.empty() && !contains_needle(run, chars)) return false;
  std::string text(chars, '\0');
  for (std::size_t i = 0; i < chars; ++i) text[i] = static_cast<char>(run[2 * i]);
  push(s, std::move(text));
  return full();
}

bool HitSink::offer_text(std::size_t s, std::string&& text) {
  if (!needle_.empty() && text.find(needle_) == std::string::npos) return false;
  push(s, std::move(text));
  return full();
}

void HitSink::push(std::size_t s, std::string&& text) {
  CarvedString hit;
  hit.page = page_;
  hit.offset = s;
  hit.slack_start = start_;
  hit.slack_end = end_;
  hit.region_kind.assign(region_kind_);
  hit.page_flags = page_flags_;
  hit.page_type.assign(page_type_);
  hit.table = table_;
  hit.text = std::move(text);
  hits_.push_back(std::move(hit));
}

// The run's text is the low bytes of its units; the needle (UTF-8) can only match ASCII bytes there.
bool HitSink::contains_needle(Bytes run, std::size_t chars) const noexcept {
  const std::size_t n = needle_.size();
  if (n > chars) return false;
  const auto first = static_cast<std::uint8_t>(needle_[0]);
  for (std::size_t i = 0; i + n <= chars; ++i) {
    if (run[2 * i] != first) continue;
    std::size_t j = 1;
    while (j < n && run[2 * (i + j)] == static_cast<std::uint8_t>(needle_[j])) ++j;
    if (j == n) return true;
  }
  return false;
}

}  // namespace pw
