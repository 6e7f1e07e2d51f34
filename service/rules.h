// Detection rules and the matcher that runs them over content as it arrives.
//
// A rule is a name and one or more byte patterns; content is detected when
// any pattern of any rule occurs in it. The built-in rules find the two
// standard test strings, as bytes and as UTF-16LE text. A signature file adds
// rules, one a line:
//
//   # comment
//   <name> text <literal text up to the end of the line>
//   <name> hex <hex bytes, pairs of digits, optionally separated by spaces>
//
// Blank lines and lines whose first non-blank character is '#' are ignored.
// The file is UTF-8 (a leading byte order mark is skipped). A text rule
// matches its UTF-8 bytes and its UTF-16LE form; a hex rule matches exactly
// its bytes. Names are 1 to 64 characters of A-Z a-z 0-9 . _ - : and are
// unique; a pattern is at most MaxPatternBytes bytes in every form.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

constexpr size_t MaxPatternBytes = 4096;
constexpr size_t MaxRuleNameChars = 64;

class RuleSet {
 public:
  static constexpr size_t NoRule = static_cast<size_t>(-1);

  // The two built-in rules; every service has them.
  void AddBuiltInRules();
  // Adds the rules of a signature file. On failure nothing is added and
  // `error` says why, as "<path>:<line>: <reason>" for a bad line.
  bool LoadSignatureFile(const std::wstring& path, std::wstring* error);

  size_t ruleCount() const { return names_.size(); }
  const std::string& ruleName(size_t rule) const { return names_[rule]; }
  size_t longestPattern() const { return longest_; }

  struct Pattern {
    size_t rule;
    std::vector<BYTE> bytes;
    size_t skip[256];  // Horspool shift for the byte under the window's end
  };
  const std::vector<Pattern>& patterns() const { return patterns_; }

 private:
  void AddRule(const std::string& name, std::vector<std::vector<BYTE>> forms);

  std::vector<std::string> names_;
  std::vector<Pattern> patterns_;
  size_t longest_ = 0;
};

// Runs a rule set over one stream of content fed in pieces of any size.
// The result does not depend on how the content is cut: the rule reported is
// the one whose match ends first in the content, the earlier rule on a tie.
class StreamMatcher {
 public:
  explicit StreamMatcher(const RuleSet& rules);

  void Reset();
  void Feed(const BYTE* bytes, size_t count);
  bool detected() const { return rule_ != RuleSet::NoRule; }
  size_t rule() const { return rule_; }

 private:
  static constexpr size_t SliceBytes = 64 * 1024;

  void ScanWindow(size_t newBytes);

  const RuleSet& rules_;
  // The tail of earlier content that a match could still start in (one byte
  // shorter than the longest pattern), followed by the slice being scanned.
  std::vector<BYTE> window_;
  size_t carried_ = 0;
  size_t rule_ = RuleSet::NoRule;
};
