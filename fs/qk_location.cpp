#include "fs/qk_location.h"

#include <limits.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

// Appends `components` to the resolved `base`, which exists; no link can
// hide among them, since none of them exists.
std::string Join(std::string base, const std::vector<std::string>& components) {
  for (const std::string& component : components) {
    if (component.empty() || component == ".") continue;
    if (component == "..") {
      const size_t slash = base.rfind('/');
      base.erase(slash == 0 ? 1 : slash);
      continue;
    }
    if (base.back() != '/') base += '/';
    base += component;
  }
  return base;
}

}  // namespace

bool qk_real_location(const CQKString& path, CQKString& out) {
  std::string head = path.GetSafeStringPtr();
  if (head.empty() || head[0] != '/') return false;
  // Components peeled off the end, nearest the root last.
  std::vector<std::string> rest;
  for (;;) {
    char* resolved = realpath(head.c_str(), nullptr);
    if (resolved != nullptr) {
      std::string base(resolved);
      free(resolved);
      out.SetFromUTF8(
          Join(base, std::vector<std::string>(rest.rbegin(), rest.rend()))
              .c_str());
      return true;
    }
    const size_t slash = head.rfind('/');
    if (head.size() <= 1) return false;
    rest.push_back(head.substr(slash + 1));
    head.erase(slash == 0 ? 1 : slash);
  }
}

bool qk_lies_within(const CQKString& inner, const CQKString& outer) {
  CQKString innerReal;
  CQKString outerReal;
  if (!qk_real_location(inner, innerReal) ||
      !qk_real_location(outer, outerReal)) {
    return false;
  }
  const std::string in = innerReal.GetSafeStringPtr();
  std::string out = outerReal.GetSafeStringPtr();
  if (in == out) return true;
  if (out.back() != '/') out += '/';
  return in.compare(0, out.size(), out) == 0;
}
