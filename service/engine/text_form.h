// The form in which content goes to clamd: scripts reach the provider as
// UTF-16LE text, while most signatures for scripts are written for their
// UTF-8 (ASCII) form. So content that is UTF-16LE text is sent as UTF-8, and
// all other content as it is.
//
// The rule that recognises UTF-16LE text, applied once to the start of the
// content (`total` is the content's full length in bytes):
//
//   1. Content that starts with the byte order mark FF FE is text.
//   2. Otherwise content is text when `total` is even and not zero, and
//      among its first n = min(512, total / 2) code units (little-endian
//      pairs of bytes) at least three in four are ASCII text: U+0009,
//      U+000A, U+000D or U+0020..U+007E.
//
// Binary content fails rule 2 by far: a UTF-16LE code unit is ASCII text
// only when its high byte is zero and its low byte printable, about 1 in 700
// for random bytes, and executables, archives and UTF-8 text have nonzero or
// nonprintable bytes in most pairs. A script with some non-ASCII letters in
// its first 512 code units (names, comments) still passes.
//
// The decision needs the first 2 bytes (rule 1) and then 2 * n bytes, or
// all of the content when it is shorter; bytes are held back (at most
// TextSampleBytes) until it is made. Text is transcoded to UTF-8 without the
// byte order mark; an unpaired surrogate, and an odd byte at the very end,
// become U+FFFD (EF BF BD).
#pragma once

#include <windows.h>

#include <vector>


// How content goes to clamd: `Utf8` applies the rule above, `Raw` sends
// every content as it is.
enum class ClamdTextMode { Utf8, Raw };

// Parses "utf8" or "raw" (the option's values); false for anything else.
bool ParseClamdTextMode(const char* text, ClamdTextMode* mode);
const char* ClamdTextModeName(ClamdTextMode mode);

constexpr size_t TextSampleUnits = 512;
constexpr size_t TextSampleBytes = 2 * TextSampleUnits;

// How many bytes of a content of `total` bytes the rule needs to decide.
size_t TextDecisionBytes(size_t total);
// The rule itself, over the first `count` bytes of a content of `total`
// bytes; `count` must be at least TextDecisionBytes(total) (or `total`).
bool IsUtf16LeText(const BYTE* start, size_t count, size_t total);

// Turns content that arrives in pieces of any size into the bytes to send.
// A code unit or surrogate pair may be split across pieces.
class ContentTranscoder {
 public:
  enum class Form { Undecided, Utf16Text, AsIs };

  // Starts a content of `total` bytes.
  void Begin(ClamdTextMode mode, size_t total);
  // Appends to `out` the bytes that `piece` yields now (none while the
  // decision waits for more content).
  void Feed(const BYTE* piece, size_t count, std::vector<BYTE>* out);
  // The content has ended (possibly before `total` bytes arrived): decides
  // on what came if still undecided and appends what was held back.
  void Finish(std::vector<BYTE>* out);

  Form form() const { return form_; }

 private:
  void Decide(std::vector<BYTE>* out);
  void Transcode(const BYTE* bytes, size_t count, std::vector<BYTE>* out);

  ClamdTextMode mode_ = ClamdTextMode::Utf8;
  size_t total_ = 0;
  size_t decisionBytes_ = 0;
  Form form_ = Form::Undecided;
  std::vector<BYTE> held_;  // the start of the content while undecided
  bool startChecked_ = false;  // the first two bytes were looked at for a BOM
  int pendingByte_ = -1;       // the first byte of a split code unit
  unsigned pendingHigh_ = 0;   // a high surrogate waiting for its low half
};
