#include "service/engine/text_form.h"

#include <cstring>

namespace {

bool IsAsciiTextUnit(unsigned unit) {
  return unit == 0x09 || unit == 0x0A || unit == 0x0D || (unit >= 0x20 && unit <= 0x7E);
}

bool StartsWithByteOrderMark(const BYTE* start, size_t count) {
  return count >= 2 && start[0] == 0xFF && start[1] == 0xFE;
}

void AppendCodePoint(unsigned code, std::vector<BYTE>* out) {
  if (code < 0x80) {
    out->push_back(static_cast<BYTE>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<BYTE>(0xC0 | (code >> 6)));
    out->push_back(static_cast<BYTE>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<BYTE>(0xE0 | (code >> 12)));
    out->push_back(static_cast<BYTE>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<BYTE>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<BYTE>(0xF0 | (code >> 18)));
    out->push_back(static_cast<BYTE>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<BYTE>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<BYTE>(0x80 | (code & 0x3F)));
  }
}

constexpr unsigned ReplacementCharacter = 0xFFFD;

}  // namespace

bool ParseClamdTextMode(const char* text, ClamdTextMode* mode) {
  if (strcmp(text, "utf8") == 0) {
    *mode = ClamdTextMode::Utf8;
    return true;
  }
  if (strcmp(text, "raw") == 0) {
    *mode = ClamdTextMode::Raw;
    return true;
  }
  return false;
}

const char* ClamdTextModeName(ClamdTextMode mode) {
  return mode == ClamdTextMode::Raw ? "raw" : "utf8";
}

size_t TextDecisionBytes(size_t total) {
  if (total < 2) return total;
  // An odd length can only be text through its byte order mark.
  if (total % 2 != 0) return 2;
  return total < TextSampleBytes ? total : TextSampleBytes;
}

bool IsUtf16LeText(const BYTE* start, size_t count, size_t total) {
  if (StartsWithByteOrderMark(start, count)) return true;
  if (total == 0 || total % 2 != 0) return false;
  size_t units = total / 2;
  if (units > TextSampleUnits) units = TextSampleUnits;
  if (count < 2 * units) units = count / 2;
  if (units == 0) return false;
  size_t text = 0;
  for (size_t i = 0; i < units; ++i) {
    const unsigned unit = start[2 * i] | (static_cast<unsigned>(start[2 * i + 1]) << 8);
    if (IsAsciiTextUnit(unit)) ++text;
  }
  return 4 * text >= 3 * units;
}

void ContentTranscoder::Begin(ClamdTextMode mode, size_t total) {
  mode_ = mode;
  total_ = total;
  decisionBytes_ = TextDecisionBytes(total);
  form_ = mode == ClamdTextMode::Raw ? Form::AsIs : Form::Undecided;
  held_.clear();
  startChecked_ = false;
  pendingByte_ = -1;
  pendingHigh_ = 0;
}

void ContentTranscoder::Feed(const BYTE* piece, size_t count, std::vector<BYTE>* out) {
  if (count == 0) return;
  if (form_ == Form::AsIs) {
    out->insert(out->end(), piece, piece + count);
    return;
  }
  if (form_ == Form::Utf16Text) {
    Transcode(piece, count, out);
    return;
  }
  // Undecided: hold only what the decision needs, pass the rest on after it.
  size_t take = 0;
  if (held_.size() < decisionBytes_) {
    take = decisionBytes_ - held_.size();
    if (take > count) take = count;
    held_.insert(held_.end(), piece, piece + take);
  }
  if (!startChecked_ && held_.size() >= 2) {
    startChecked_ = true;
    if (StartsWithByteOrderMark(held_.data(), held_.size())) decisionBytes_ = held_.size();
  }
  if (held_.size() >= decisionBytes_) {
    Decide(out);
    Feed(piece + take, count - take, out);
  }
}

void ContentTranscoder::Finish(std::vector<BYTE>* out) {
  if (form_ == Form::Undecided) {
    // The content ended early: the rule looks at what came.
    total_ = held_.size();
    Decide(out);
  }
  if (form_ != Form::Utf16Text) return;
  if (pendingHigh_ != 0) AppendCodePoint(ReplacementCharacter, out);
  if (pendingByte_ >= 0) AppendCodePoint(ReplacementCharacter, out);
  pendingHigh_ = 0;
  pendingByte_ = -1;
}

void ContentTranscoder::Decide(std::vector<BYTE>* out) {
  const bool text = IsUtf16LeText(held_.data(), held_.size(), total_);
  form_ = text ? Form::Utf16Text : Form::AsIs;
  if (!text) {
    out->insert(out->end(), held_.begin(), held_.end());
  } else {
    const size_t skip = StartsWithByteOrderMark(held_.data(), held_.size()) ? 2 : 0;
    Transcode(held_.data() + skip, held_.size() - skip, out);
  }
  held_.clear();
  held_.shrink_to_fit();
}

void ContentTranscoder::Transcode(const BYTE* bytes, size_t count, std::vector<BYTE>* out) {
  // Each two bytes give at most three (a surrogate pair's four give four).
  out->reserve(out->size() + count / 2 * 3 + 8);
  size_t at = 0;
  while (at < count) {
    unsigned unit;
    if (pendingByte_ >= 0) {
      unit = static_cast<unsigned>(pendingByte_) | (static_cast<unsigned>(bytes[at]) << 8);
      pendingByte_ = -1;
      at += 1;
    } else if (at + 1 < count) {
      unit = bytes[at] | (static_cast<unsigned>(bytes[at + 1]) << 8);
      at += 2;
    } else {
      pendingByte_ = bytes[at];
      return;
    }
    if (pendingHigh_ != 0) {
      if (unit >= 0xDC00 && unit <= 0xDFFF) {
        AppendCodePoint(0x10000 + ((pendingHigh_ - 0xD800) << 10) + (unit - 0xDC00), out);
        pendingHigh_ = 0;
        continue;
      }
      AppendCodePoint(ReplacementCharacter, out);
      pendingHigh_ = 0;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      pendingHigh_ = unit;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      AppendCodePoint(ReplacementCharacter, out);
    } else {
      AppendCodePoint(unit, out);
    }
  }
}
