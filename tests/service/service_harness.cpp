#include "tests/service/service_harness.h"

#include "service/text.h"

#include <algorithm>
#include <cstring>

namespace {

// The test strings are stored reversed, so that this program's image does
// not carry them for other scanners to find.
std::string Reversed(std::string text) {
  std::reverse(text.begin(), text.end());
  return text;
}

}  // namespace

std::string EicarText() {
  return Reversed("*H+H$!ELIF-TSET-SURIVITNA-DRADNATS-RACIE$}7)CC7)^P(45XZP\\4[PA@%P!O5X");
}

std::string AmsiSampleText() {
  return Reversed("6831c4841ca0-0478-9334-b168-ec3c27e7 :elpmaS tseT ISMA");
}

Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Utf16(const std::string& ascii) {
  Bytes out;
  for (const char c : ascii) {
    out.push_back(static_cast<BYTE>(c));
    out.push_back(0);
  }
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

int64_t Scan(const ScanRequest& request) {
  PipeClient client;
  if (!client.Connect(ClientWaitMs)) return -1;
  for (const Bytes& piece : RequestPieces(request)) {
    if (!client.Write(piece, ClientWaitMs)) return -1;
  }
  const PipeClient::ReadResult reply = client.Read(4, ClientWaitMs);
  if (reply.bytes.size() != 4) return -1;
  uint32_t verdict = 0;
  memcpy(&verdict, reply.bytes.data(), 4);
  return verdict;
}

std::vector<std::string> LogLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

namespace {

class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  bool Object(std::map<std::string, JsonValue>* object) {
    if (!Take('{')) return false;
    if (Take('}')) return AtEnd();
    do {
      std::string key;
      JsonValue value;
      if (!String(&key) || !Take(':') || !Value(&value)) return false;
      if (!object->emplace(key, value).second) return false;  // a key twice
    } while (Take(','));
    return Take('}') && AtEnd();
  }

 private:
  bool AtEnd() const { return at_ == text_.size(); }
  bool Take(char c) {
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(const char* word) {
    const size_t length = strlen(word);
    if (text_.compare(at_, length, word) != 0) return false;
    at_ += length;
    return true;
  }
  bool Hex4(uint32_t* value) {
    if (at_ + 4 > text_.size()) return false;
    *value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      const int digit = c >= '0' && c <= '9' ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (digit < 0) return false;
      *value = *value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
  }
  bool String(std::string* out) {
    if (!Take('"')) return false;
    while (at_ < text_.size()) {
      const char c = text_[at_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;  // must be escaped
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      const char* simple = strchr("\"\\/bfnrt", e);
      if (e != 0 && simple != nullptr) {
        static const char Decoded[] = "\"\\/\b\f\n\r\t";
        out->push_back(Decoded[simple - "\"\\/bfnrt"]);
      } else if (e == 'u') {
        uint32_t code = 0;
        if (!Hex4(&code)) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
          uint32_t low = 0;
          if (!Word("\\u") || !Hex4(&low) || low < 0xDC00 || low > 0xDFFF) return false;
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, code);
      } else {
        return false;
      }
    }
    return false;
  }
  bool Value(JsonValue* value) {
    if (at_ < text_.size() && text_[at_] == '"') {
      value->kind = JsonValue::Kind::String;
      return String(&value->text);
    }
    if (Word("true") || Word("false")) {
      value->kind = JsonValue::Kind::Bool;
      value->flag = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
      return true;
    }
    if (Word("null")) {
      value->kind = JsonValue::Kind::Null;
      return true;
    }
    const size_t start = at_;
    Take('-');
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
    if (at_ == start || (at_ == start + 1 && text_[start] == '-')) return false;
    value->kind = JsonValue::Kind::Number;
    value->text = text_.substr(start, at_ - start);
    return true;
  }

  const std::string& text_;
  size_t at_ = 0;
};

}  // namespace

bool ParseFlatJson(const std::string& line, std::map<std::string, JsonValue>* object) {
  object->clear();
  return JsonReader(line).Object(object);
}
