#include "app/wv_outstream.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// What the program's transcripts cannot show: the text ends at an embedded
// NUL, manipulators other than end-of-line write nothing, and a string
// without a buffer sets the stream's bad state.
TEST(WvOutstreamTest, NulManipulatorsAndMissingBuffers) {
  std::ostringstream out, err;
  std::streambuf* const savedOut = std::cout.rdbuf(out.rdbuf());
  std::streambuf* const savedErr = std::cerr.rdbuf(err.rdbuf());
  CQKString text, none;
  text.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>("\xE9\0c"),
                             3);
  wvcout << text << static_cast<wv_outconst>(1) << wvcerr
         << static_cast<unsigned short>(65535) << '\x80' << wvendl;
  wvcerr << "e";
  wvcerr.flush();
  const bool good = std::cout.good();
  wvcout << none;
  const bool bad = std::cout.bad();
  std::cout.rdbuf(savedOut);
  std::cerr.rdbuf(savedErr);
  std::cout.clear();
  EXPECT_EQ("\xE9" "65535\x80\n|e", out.str() + "|" + err.str());
  EXPECT_TRUE(good && bad);
}

}  // namespace
