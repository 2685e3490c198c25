#include "app/wv_outstream.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

// Captures one standard stream for the life of the object.
class Capture {
 public:
  explicit Capture(std::ostream& stream)
      : stream_(stream), saved_(stream.rdbuf(text_.rdbuf())) {}
  ~Capture() {
    stream_.rdbuf(saved_);
    stream_.clear();
  }
  std::string Text() const { return text_.str(); }

 private:
  std::ostream& stream_;
  std::ostringstream text_;
  std::streambuf* saved_;
};

// What the program's transcripts cannot show: the text ends at an embedded
// NUL, manipulators other than end-of-line write nothing, and a string
// without a buffer sets the stream's bad state.
TEST(WvOutstreamTest, NulManipulatorsAndMissingBuffers) {
  Capture out(std::cout);
  Capture err(std::cerr);
  CQKString text;
  text.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>("\xE9\0c"),
                             3);
  wvcout << text << static_cast<wv_outconst>(1) << wvcerr
         << static_cast<unsigned short>(65535) << '\x80' << wvendl;
  wvcerr << "e";
  wvcerr.flush();
  EXPECT_EQ("\xE9" "65535\x80\n", out.Text());
  EXPECT_EQ("e", err.Text());
  EXPECT_TRUE(std::cout.good());
  CQKString none;
  wvcout << none;
  EXPECT_TRUE(std::cout.bad());
}

}  // namespace
