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

TEST(WvOutstreamTest, KindSelectsTheStream) {
  Capture out(std::cout);
  Capture err(std::cerr);
  CQKString text("abc");
  wvcout << text << wvendl;
  wvcerr << "x" << wvendl << 'y';
  EXPECT_EQ("abc\n", out.Text());
  EXPECT_EQ("x\ny", err.Text());
}

TEST(WvOutstreamTest, BytesPassUnconverted) {
  Capture out(std::cout);
  CQKString text;
  text.SetFromUTF8("\xE9\xC3\xA9");
  wvcout << text << static_cast<unsigned short>(65535) << '\x80';
  EXPECT_EQ(std::string("\xE9\xC3\xA9" "65535\x80"), out.Text());
}

TEST(WvOutstreamTest, EmbeddedNulEndsTheText) {
  Capture out(std::cout);
  CQKString text;
  text.SetFromUTF8WithLength(reinterpret_cast<const unsigned char*>("ab\0cd"),
                             5);
  wvcout << text;
  EXPECT_EQ("ab", out.Text());
}

TEST(WvOutstreamTest, OnlyEndOfLineManipulatorActs) {
  Capture out(std::cout);
  wvcout << static_cast<wv_outconst>(1) << wvcerr << "z";
  EXPECT_EQ("z", out.Text());
}

TEST(WvOutstreamTest, EmptyAndMissingBuffers) {
  Capture out(std::cout);
  CQKString empty;
  empty.Empty(1);
  wvcout << empty;
  EXPECT_TRUE(std::cout.good());
  CQKString none;
  wvcout << none;
  EXPECT_TRUE(std::cout.bad());
  EXPECT_EQ("", out.Text());
}

}  // namespace
