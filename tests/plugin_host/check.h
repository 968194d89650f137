// A minimal check harness for the test programs that cannot use GoogleTest (the 32-bit build
// and the dlopen host): failed checks are printed with their place, and the program ends with
// "N passed, N failed" and a non-zero status on any failure (or when nothing was checked).
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

namespace check {

inline int& Passed() {
  static int n = 0;
  return n;
}
inline int& Failed() {
  static int n = 0;
  return n;
}

inline bool Record(bool ok, const std::string& what, const char* file, int line) {
  if (ok) {
    ++Passed();
  } else {
    ++Failed();
    std::printf("FAILED %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
  }
  return ok;
}

template <class A, class B>
bool Equal(const A& a, const B& b, const char* textA, const char* textB, const char* file, int line) {
  if (a == b) return Record(true, "", file, line);
  std::ostringstream what;
  what << textA << " == " << textB << " (" << a << " vs " << b << ")";
  return Record(false, what.str(), file, line);
}

// Prints the closing line; the process's exit status.
inline int Summary() {
  std::printf("%d passed, %d failed\n", Passed(), Failed());
  return Failed() == 0 && Passed() > 0 ? 0 : 1;
}

}  // namespace check

#define CHECK(condition) ::check::Record(static_cast<bool>(condition), #condition, __FILE__, __LINE__)
#define CHECK_EQ(a, b) ::check::Equal((a), (b), #a, #b, __FILE__, __LINE__)
