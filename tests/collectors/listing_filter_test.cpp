#include "common/collectors/listing_filter.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "common/file_io.h"
#include "tests/test_util.h"

namespace common::collectors {
namespace {

// The listing fed through the filter into a file in pieces of `piece_size` bytes.
std::string filtered(const std::string& listing, std::size_t piece_size) {
  tu::TempDir tmp;
  const std::string path = tmp / "rows";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  EXPECT_TRUE(fd.valid()) << path;
  ListingFilter filter(fd.get(), "keldra-oskel");
  for (std::size_t i = 0; i < listing.size(); i += piece_size) {
    EXPECT_TRUE(filter.feed(std::string_view(listing).substr(i, piece_size)));
  }
  EXPECT_TRUE(filter.finish());
  return tu::read_text(path);
}

TEST(ListingFilter, KeepsRowsNamingThePackageEachEndedByNewlineWhateverThePieces) {
  const std::string listing =
      "Desired=Unknown/Install/Remove/Purge/Hold\n"
      "||/ Name           Version      Architecture Description\n"
      "ii  adduser        3.134        all          add and remove users\n"
      "ii  keldra-oskel   2.1.0        amd64        Keldra oskel agent\n"
      "ii  keldra-oskel-extras 2.1.0   amd64        extras\r\n"
      "ii  zlib1g         1:1.2.13     amd64        " +
      std::string(200, 'z') +
      "\n"
      "ii  keldra-oskel-doc 2.1.0      all          docs";
  const std::string kept =
      "ii  keldra-oskel   2.1.0        amd64        Keldra oskel agent\n"
      "ii  keldra-oskel-extras 2.1.0   amd64        extras\r\n"
      "ii  keldra-oskel-doc 2.1.0      all          docs\n";
  for (const std::size_t piece :
       {std::size_t{1}, std::size_t{5}, std::size_t{64}, listing.size()}) {
    EXPECT_EQ(filtered(listing, piece), kept) << piece;
  }
  // Rows longer than the filter's blocks: the start of one that does not match is taken back.
  const std::string row(70000, 'y');
  const std::string long_rows = "x" + row + "\nkeldra-oskel a\n" + row + "keldra-oskel\n" + row;
  for (const std::size_t piece : {std::size_t{4096}, long_rows.size()}) {
    EXPECT_EQ(filtered(long_rows, piece), "keldra-oskel a\n" + row + "keldra-oskel\n") << piece;
  }
  EXPECT_EQ(filtered("a\nb\n", 1), "");
  EXPECT_EQ(filtered("KELDRA-OSKEL\nkeldra-\noskel", 3), "");
}

}  // namespace
}  // namespace common::collectors
