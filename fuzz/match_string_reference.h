// A second, plainly written matcher for MatchString's rules, used by its fuzzer
// and its test to check the library against: a '*' places the literal block
// that follows at the last of its non-overlapping occurrences, found left to
// right, and never reconsiders that choice.
#ifndef ZAVRIN_MATCH_STRING_REFERENCE_H
#define ZAVRIN_MATCH_STRING_REFERENCE_H

#include <string>

namespace zavrin_reference {

inline std::string AsciiUpper(std::string s) {
  for (char &c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

inline bool MatchWildcards(const std::string &pattern, const std::string &text) {
  const size_t npos = std::string::npos;
  size_t p = 0;
  size_t t = 0;
  while (p < pattern.size()) {
    char c = pattern[p];
    if (c == '*') {
      p = pattern.find_first_not_of('*', p);
      if (p == npos) return true;
      if (pattern[p] == '?') {
        if (t == text.size()) return false;
        t++;  // and the '?' itself takes one more
        continue;
      }
      size_t blockEnd = pattern.find_first_of("?*", p);
      if (blockEnd == npos) blockEnd = pattern.size();
      std::string block = pattern.substr(p, blockEnd - p);
      size_t lastEnd = npos;
      for (size_t at = text.find(block, t); at != npos; at = text.find(block, at + block.size()))
        lastEnd = at + block.size();
      if (lastEnd == npos) return false;
      t = lastEnd;
      p = blockEnd;
    } else {
      if (t == text.size() || (c != '?' && text[t] != c)) return false;
      p++;
      t++;
    }
  }
  return t == text.size();
}

inline bool Match(const std::string &pattern, const std::string &text, bool matchCase) {
  if (matchCase) return MatchWildcards(pattern, text);
  return MatchWildcards(AsciiUpper(pattern), AsciiUpper(text));
}

}  // namespace zavrin_reference

#endif  // ZAVRIN_MATCH_STRING_REFERENCE_H
