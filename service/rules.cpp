#include "service/rules.h"

#include "platform/unique_handle.h"
#include "service/text.h"

#include <cstring>

namespace {

// The test strings are kept encoded (each byte XOR 0x5A), so that this
// program's own image does not carry them for other scanners to find.
constexpr BYTE EncodingKey = 0x5A;
constexpr BYTE EncodedEicar[] = {
    0x02, 0x6F, 0x15, 0x7B, 0x0A, 0x7F, 0x1A, 0x1B, 0x0A, 0x01, 0x6E, 0x06,
    0x0A, 0x00, 0x02, 0x6F, 0x6E, 0x72, 0x0A, 0x04, 0x73, 0x6D, 0x19, 0x19,
    0x73, 0x6D, 0x27, 0x7E, 0x1F, 0x13, 0x19, 0x1B, 0x08, 0x77, 0x09, 0x0E,
    0x1B, 0x14, 0x1E, 0x1B, 0x08, 0x1E, 0x77, 0x1B, 0x14, 0x0E, 0x13, 0x0C,
    0x13, 0x08, 0x0F, 0x09, 0x77, 0x0E, 0x1F, 0x09, 0x0E, 0x77, 0x1C, 0x13,
    0x16, 0x1F, 0x7B, 0x7E, 0x12, 0x71, 0x12, 0x70,
};
constexpr BYTE EncodedAmsiSample[] = {
    0x1B, 0x17, 0x09, 0x13, 0x7A, 0x0E, 0x3F, 0x29, 0x2E, 0x7A, 0x09, 0x3B,
    0x37, 0x2A, 0x36, 0x3F, 0x60, 0x7A, 0x6D, 0x3F, 0x6D, 0x68, 0x39, 0x69,
    0x39, 0x3F, 0x77, 0x62, 0x6C, 0x6B, 0x38, 0x77, 0x6E, 0x69, 0x69, 0x63,
    0x77, 0x62, 0x6D, 0x6E, 0x6A, 0x77, 0x6A, 0x3B, 0x39, 0x6B, 0x6E, 0x62,
    0x6E, 0x39, 0x6B, 0x69, 0x62, 0x6C,
};

template <size_t N>
std::vector<BYTE> Decode(const BYTE (&encoded)[N]) {
  std::vector<BYTE> plain(encoded, encoded + N);
  for (BYTE& b : plain) b = static_cast<BYTE>(b ^ EncodingKey);
  return plain;
}

// The UTF-16LE form of ASCII bytes.
std::vector<BYTE> WidenAscii(const std::vector<BYTE>& ascii) {
  std::vector<BYTE> wide;
  for (const BYTE b : ascii) {
    wide.push_back(b);
    wide.push_back(0);
  }
  return wide;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-' || c == ':';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ReadWholeFile(const std::wstring& path, std::string* contents, DWORD* error) {
  UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    *error = GetLastError();
    return false;
  }
  LARGE_INTEGER size;
  // A signature file is a short text; anything near this is a mistake.
  constexpr LONGLONG MaxFileBytes = 64 * 1024 * 1024;
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > MaxFileBytes) {
    *error = ERROR_FILE_TOO_LARGE;
    return false;
  }
  contents->resize(static_cast<size_t>(size.QuadPart));
  size_t done = 0;
  while (done < contents->size()) {
    DWORD count = 0;
    if (!ReadFile(file.get(), &(*contents)[done], static_cast<DWORD>(contents->size() - done),
                  &count, nullptr) ||
        count == 0) {
      *error = GetLastError();
      return false;
    }
    done += count;
  }
  return true;
}

// Parses one non-blank, non-comment line into a name and its patterns;
// returns an empty string on success or the reason the line is bad.
std::string ParseRuleLine(const std::string& line, std::string* name,
                          std::vector<std::vector<BYTE>>* forms) {
  size_t at = 0;
  while (at < line.size() && IsBlank(line[at])) ++at;
  const size_t nameStart = at;
  while (at < line.size() && !IsBlank(line[at])) ++at;
  *name = line.substr(nameStart, at - nameStart);
  if (name->size() > MaxRuleNameChars) return "rule name longer than 64 characters";
  for (const char c : *name) {
    if (!IsNameChar(c)) return "rule name '" + *name + "' may only use A-Z a-z 0-9 . _ - :";
  }
  while (at < line.size() && IsBlank(line[at])) ++at;
  const size_t kindStart = at;
  while (at < line.size() && !IsBlank(line[at])) ++at;
  const std::string kind = line.substr(kindStart, at - kindStart);
  if (kind.empty()) return "rule '" + *name + "' has no kind (expected text or hex)";
  // Exactly one blank separates the kind from a text pattern, so that the
  // text may itself start with blanks.
  const std::string rest = at < line.size() ? line.substr(at + 1) : std::string();

  forms->clear();
  if (kind == "text") {
    if (rest.empty()) return "text rule '" + *name + "' has no text";
    std::wstring wide;
    if (!Utf8ToWide(rest, &wide)) return "text rule '" + *name + "' is not valid UTF-8";
    std::vector<BYTE> utf16;
    for (const wchar_t unit : wide) {
      utf16.push_back(static_cast<BYTE>(unit & 0xFF));
      utf16.push_back(static_cast<BYTE>((unit >> 8) & 0xFF));
    }
    forms->emplace_back(rest.begin(), rest.end());
    forms->push_back(utf16);
  } else if (kind == "hex") {
    std::vector<BYTE> bytes;
    size_t k = 0;
    while (k < rest.size()) {
      if (IsBlank(rest[k])) {
        ++k;
        continue;
      }
      const int high = HexValue(rest[k]);
      if (high < 0) return "hex rule '" + *name + "' has a character that is not a hex digit";
      if (k + 1 >= rest.size() || IsBlank(rest[k + 1])) {
        return "hex rule '" + *name + "' has an odd number of hex digits";
      }
      const int low = HexValue(rest[k + 1]);
      if (low < 0) return "hex rule '" + *name + "' has a character that is not a hex digit";
      bytes.push_back(static_cast<BYTE>(high * 16 + low));
      k += 2;
    }
    if (bytes.empty()) return "hex rule '" + *name + "' has no bytes";
    forms->push_back(bytes);
  } else {
    return "rule '" + *name + "' has unknown kind '" + kind + "' (expected text or hex)";
  }
  for (const auto& form : *forms) {
    if (form.size() > MaxPatternBytes) {
      return "rule '" + *name + "' is longer than " + std::to_string(MaxPatternBytes) + " bytes";
    }
  }
  return std::string();
}

}  // namespace

void RuleSet::AddBuiltInRules() {
  const std::vector<BYTE> eicar = Decode(EncodedEicar);
  const std::vector<BYTE> amsiSample = Decode(EncodedAmsiSample);
  AddRule("EICAR-Test-File", {eicar, WidenAscii(eicar)});
  AddRule("AMSI-Test-Sample", {amsiSample, WidenAscii(amsiSample)});
}

bool RuleSet::LoadSignatureFile(const std::wstring& path, std::wstring* error) {
  std::string contents;
  DWORD readError = 0;
  if (!ReadWholeFile(path, &contents, &readError)) {
    *error = path + L": cannot read the signature file (error " + std::to_wstring(readError) +
             L")";
    return false;
  }
  if (contents.compare(0, 3, "\xEF\xBB\xBF") == 0) contents.erase(0, 3);

  struct ParsedRule {
    std::string name;
    std::vector<std::vector<BYTE>> forms;
  };
  std::vector<ParsedRule> parsed;
  size_t lineNumber = 0;
  size_t start = 0;
  while (start < contents.size()) {
    ++lineNumber;
    size_t end = contents.find('\n', start);
    if (end == std::string::npos) end = contents.size();
    std::string line = contents.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    size_t first = 0;
    while (first < line.size() && IsBlank(line[first])) ++first;
    if (first == line.size() || line[first] == '#') continue;

    ParsedRule rule;
    std::string reason = ParseRuleLine(line, &rule.name, &rule.forms);
    if (reason.empty()) {
      bool duplicate = false;
      for (const auto& name : names_) duplicate = duplicate || name == rule.name;
      for (const auto& other : parsed) duplicate = duplicate || other.name == rule.name;
      if (duplicate) reason = "rule name '" + rule.name + "' is used twice";
    }
    if (!reason.empty()) {
      std::wstring wideReason;
      if (!Utf8ToWide(reason, &wideReason)) wideReason = L"the line is not valid UTF-8";
      *error = path + L":" + std::to_wstring(lineNumber) + L": " + wideReason;
      return false;
    }
    parsed.push_back(std::move(rule));
  }
  for (auto& rule : parsed) AddRule(rule.name, std::move(rule.forms));
  return true;
}

void RuleSet::AddRule(const std::string& name, std::vector<std::vector<BYTE>> forms) {
  const size_t rule = names_.size();
  names_.push_back(name);
  for (auto& form : forms) {
    Pattern pattern;
    pattern.rule = rule;
    pattern.bytes = std::move(form);
    const size_t length = pattern.bytes.size();
    for (size_t& shift : pattern.skip) shift = length;
    for (size_t i = 0; i + 1 < length; ++i) pattern.skip[pattern.bytes[i]] = length - 1 - i;
    if (length > longest_) longest_ = length;
    patterns_.push_back(std::move(pattern));
  }
}

StreamMatcher::StreamMatcher(const RuleSet& rules) : rules_(rules) {
  const size_t carry = rules_.longestPattern() > 0 ? rules_.longestPattern() - 1 : 0;
  window_.resize(carry + SliceBytes);
}

void StreamMatcher::Reset() {
  carried_ = 0;
  rule_ = RuleSet::NoRule;
}

void StreamMatcher::Feed(const BYTE* bytes, size_t count) {
  while (count > 0 && !detected()) {
    const size_t slice = count < SliceBytes ? count : SliceBytes;
    memcpy(window_.data() + carried_, bytes, slice);
    ScanWindow(slice);
    bytes += slice;
    count -= slice;
  }
}

void StreamMatcher::ScanWindow(size_t newBytes) {
  const size_t length = carried_ + newBytes;
  const BYTE* text = window_.data();
  size_t bestEnd = static_cast<size_t>(-1);
  for (const RuleSet::Pattern& pattern : rules_.patterns()) {
    const size_t m = pattern.bytes.size();
    const BYTE last = pattern.bytes[m - 1];
    // Horspool: compare at each window position, then shift by the table
    // entry of the byte under the window's last position.
    for (size_t at = 0; at + m <= length; at += pattern.skip[text[at + m - 1]]) {
      if (text[at + m - 1] == last && memcmp(text + at, pattern.bytes.data(), m - 1) == 0) {
        // Patterns are in rule order, so a tie keeps the earlier rule.
        if (at + m < bestEnd) {
          bestEnd = at + m;
          rule_ = pattern.rule;
        }
        break;
      }
    }
  }
  if (detected()) return;
  // Earlier windows held no match, so a match can only start in the last
  // (longest - 1) bytes of this one.
  const size_t keep = window_.size() - SliceBytes;
  const size_t kept = length < keep ? length : keep;
  memmove(window_.data(), text + length - kept, kept);
  carried_ = kept;
}
