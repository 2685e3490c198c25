// Any input becomes a full path: a full input comes back as written (less a
// trailing wildcard), a relative one after the working directory; the flag
// says whether the input asked for a directory's contents.

#include <unistd.h>

#include <cstring>
#include <string>

#include "fs/qk_path.h"
#include "fuzz/fuzz_support.h"

using fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto exact = fuzz::ExactCopy<unsigned char>(data, size);
  CQKString input;
  input.SetFromUTF8(exact.get(), static_cast<unsigned int>(size));
  std::string text(input.GetSafeStringPtr(), input.GetLength());

  bool oneEntry = false;
  CQKString out("earlier");
  Require(GetFullPathFromAnyPathInput(input, out, &oneEntry),
          "the working directory could not be read");
  const std::string path(out.GetSafeStringPtr(), out.GetLength());
  Require(strlen(out.GetSafeStringPtr()) == out.GetLength(),
          "length disagrees with terminator");
  Require(!path.empty() && path[0] == '/', "not a full path");

  bool wildcard = false;
  if (text.size() > 1 && text.back() == '*' &&
      (text[text.size() - 2] == '/' || text[text.size() - 2] == '\\')) {
    text.erase(text.find_last_not_of('*') + 1);
    wildcard = true;
  }
  Require(oneEntry == !(wildcard || text == "*"), "wildcard flag wrong");

  char* cwd = getcwd(nullptr, 0);
  const std::string here(cwd);
  free(cwd);
  if (!text.empty() && text[0] == '/') {
    Require(path == text, "full input not kept");
  } else if (text == "." || text == "*") {
    Require(path == here, "not the working directory");
  } else {
    // One separator between them, also for an empty input.
    const std::string joined = (here == "/" ? "" : here) + "/" + text;
    Require(path == joined, "not joined to the working directory");
  }
  return 0;
}
