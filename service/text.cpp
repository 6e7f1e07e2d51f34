#include "service/text.h"

namespace {

constexpr char ProgramPrefix[] = "KestrovScanService: ";

}  // namespace

void AppendUtf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (code >> 6)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (code >> 12)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (code >> 18)));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

namespace {

// Shared by both UTF-16 sources: `unit(i)` returns the i-th code unit.
template <typename UnitAt>
std::string Utf16ToUtf8(size_t units, UnitAt unit) {
  constexpr uint32_t Replacement = 0xFFFD;
  std::string out;
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    const uint32_t first = unit(i);
    if (first >= 0xD800 && first <= 0xDBFF && i + 1 < units) {
      const uint32_t second = unit(i + 1);
      if (second >= 0xDC00 && second <= 0xDFFF) {
        AppendUtf8(&out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(&out, first >= 0xD800 && first <= 0xDFFF ? Replacement : first);
  }
  return out;
}

}  // namespace

std::string Utf16BytesToUtf8(const BYTE* bytes, size_t count) {
  return Utf16ToUtf8(count / 2, [bytes](size_t i) {
    return static_cast<uint32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  });
}

std::string WideToUtf8(const std::wstring& text) {
  return Utf16ToUtf8(text.size(), [&text](size_t i) { return static_cast<uint32_t>(text[i]); });
}

bool Utf8ToWide(const std::string& text, std::wstring* wide) {
  wide->clear();
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = [&text](size_t k) {
      return static_cast<uint32_t>(static_cast<BYTE>(text[k]));
    };
    const uint32_t lead = byte(i);
    size_t extra = 0;
    uint32_t code = 0;
    uint32_t smallest = 0;  // shortest form: overlong encodings are malformed
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1F, smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0F, smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07, smallest = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;  // cut off at the end
    for (size_t k = 1; k <= extra; ++k) {
      const uint32_t next = byte(i + k);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    if (code >= 0x10000) {
      wide->push_back(static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10)));
      wide->push_back(static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      wide->push_back(static_cast<wchar_t>(code));
    }
    i += extra + 1;
  }
  return true;
}

void AppendJsonString(std::string* out, const std::string& text) {
  static const char Hex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<BYTE>(c);
    switch (c) {
      case '"': out->append("\\\""); break;
      case '\\': out->append("\\\\"); break;
      case '\n': out->append("\\n"); break;
      case '\r': out->append("\\r"); break;
      case '\t': out->append("\\t"); break;
      case '\b': out->append("\\b"); break;
      case '\f': out->append("\\f"); break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          out->append("\\u00");
          out->push_back(Hex[byte >> 4]);
          out->push_back(Hex[byte & 0xF]);
        } else {
          out->push_back(c);
        }
    }
  }
}

bool WriteUtf8(HANDLE handle, const std::string& text) {
  DWORD mode = 0;
  return WriteUtf8(handle, text, handle != nullptr && GetConsoleMode(handle, &mode));
}

bool WriteUtf8(HANDLE handle, const std::string& text, bool console) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  if (console) {
    std::wstring wide;
    if (!Utf8ToWide(text, &wide)) return false;
    DWORD written = 0;
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) != 0;
  }
  size_t done = 0;
  while (done < text.size()) {
    DWORD written = 0;
    if (!WriteFile(handle, text.data() + done, static_cast<DWORD>(text.size() - done), &written,
                   nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

void PrintError(const std::wstring& message) {
  WriteUtf8(GetStdHandle(STD_ERROR_HANDLE), ProgramPrefix + WideToUtf8(message) + "\n");
}
