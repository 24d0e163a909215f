// HitSink: where the scanners of one byte range put their strings — the page context copied into each hit,
// the needle applied and the limit on hits kept.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../utils/bytes.hpp"
#include "carved_string.hpp"

namespace pw {

class HitSink {
 public:
  HitSink(std::uint32_t page, Bytes data, std::uint64_t start, std::uint64_t end, std::string_view region_kind,
          std::uint32_t page_flags, std::string_view page_type, const SharedName& table,
          const std::optional<std::string>& needle, std::uint64_t max_hits, std::vector<CarvedString>& hits);

  bool full() const noexcept { return hits_.size() >= max_hits_; }
  bool has_needle() const noexcept { return !needle_.empty(); }
  // False when the bytes of `range` cannot hold a string with the needle: its UTF-16LE form occurs nowhere in
  // them (a string's text is the UTF-8 of consecutive code units, and a valid UTF-8 needle matches whole
  // characters). True without a needle, or for one that is not valid UTF-8.
  bool may_hold_needle(Bytes range) const;

  // Offers the run of printable ASCII code units [s, e) (byte positions, both even); returns true once the hit
  // list is full.
  bool offer(std::size_t s, std::size_t e);
  // Offers the string starting at s whose text (UTF-8) is given; returns true once the hit list is full.
  bool offer_text(std::size_t s, std::string&& text);

 private:
  bool contains_needle(Bytes run, std::size_t chars) const noexcept;
  void push(std::size_t s, std::string&& text);

  std::uint32_t page_;
  Bytes data_;
  std::uint64_t start_;
  std::uint64_t end_;
  std::string_view region_kind_;
  std::uint32_t page_flags_;
  std::string_view page_type_;
  const SharedName& table_;
  std::string_view needle_;
  std::uint64_t max_hits_;
  std::vector<CarvedString>& hits_;
};

}  // namespace pw
