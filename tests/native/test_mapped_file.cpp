// A mapped file that shrinks while open reads as zeros past its new end and reports the failure.
#include <stdlib.h>
#include <unistd.h>

#include <vector>

#include "check.hpp"
#include "io/mapped_file.hpp"

using namespace pw;

TEST(mapped_file_that_shrinks_reads_zeros_and_reports_it) {
  char path[] = "/tmp/pagewright-native-XXXXXX";
  const int fd = mkstemp(path);
  CHECK(fd >= 0);
  constexpr std::size_t kBlock = 65536;  // a whole number of pages of any page size Linux uses
  const std::vector<std::uint8_t> content(3 * kBlock, 0xAB);
  CHECK_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  auto source = open_file_source(path);
  CHECK(source.ok());
  if (source.ok()) {
    const Bytes bytes = (*source)->bytes();
    CHECK_EQ(bytes.size(), content.size());
    CHECK_EQ(read_u8(bytes, 2 * kBlock + 1).value_or(0), 0xAB);
    CHECK(!(*source)->read_failed());
    CHECK_EQ(ftruncate(fd, kBlock), 0);
    CHECK_EQ(read_u8(bytes, 2 * kBlock + 1).value_or(0xFF), 0);  // past the new end: zeros, not a bus error
    CHECK((*source)->read_failed());
    CHECK_EQ(read_u8(bytes, kBlock - 1).value_or(0), 0xAB);  // before it the file is still read
  }
  close(fd);
  unlink(path);
}
