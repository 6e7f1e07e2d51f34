#include "service/engine/text_form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

Bytes Utf16(const std::u16string& text, bool byteOrderMark = false) {
  Bytes bytes;
  if (byteOrderMark) bytes = {0xFF, 0xFE};
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  }
  return bytes;
}

Bytes Of(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Repeat(const Bytes& part, size_t times) {
  Bytes all;
  for (size_t i = 0; i < times; ++i) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The start of a PE image: what an AMSI scan of a loaded module looks like.
const Bytes PeStart = {0x4D, 0x5A, 0x90, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
                       0xFF, 0xFF, 0x00, 0x00, 0xB8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

// A script line with a two-byte, a three-byte and a four-byte (surrogate
// pair) character in UTF-8.
const std::u16string Sample = u"Write-Host 'h\u00e9llo \u20ac' \U0001F600 done\r\n";
const std::string SampleUtf8 =
    "Write-Host 'h\xC3\xA9llo \xE2\x82\xAC' \xF0\x9F\x98\x80 done\r\n";

struct RuleCase {
  const char* name;
  Bytes content;
  bool text;
};

void PrintTo(const RuleCase& c, std::ostream* out) { *out << c.name; }

class TextRuleTest : public testing::TestWithParam<RuleCase> {};

TEST_P(TextRuleTest, DecidesOnTheStart) {
  const RuleCase& c = GetParam();
  EXPECT_EQ(IsUtf16LeText(c.content.data(), c.content.size(), c.content.size()), c.text);
  // The decision needs no more than its sample.
  const size_t needed = TextDecisionBytes(c.content.size());
  EXPECT_EQ(IsUtf16LeText(c.content.data(), needed, c.content.size()), c.text);
}

Bytes AsciiUnits(size_t count) { return Utf16(std::u16string(count, u'a')); }
Bytes CjkUnits(size_t count) { return Utf16(std::u16string(count, u'\u4e2d')); }

INSTANTIATE_TEST_SUITE_P(
    Cases, TextRuleTest,
    testing::Values(
        RuleCase{"Utf16Script", Utf16(u"$x = 1\r\nWrite-Output $x\r\n"), true},
        RuleCase{"ByteOrderMarkMakesText", Join({0xFF, 0xFE}, PeStart), true},
        RuleCase{"ByteOrderMarkWithOddLength", Join(Utf16(u"ab", true), {0x41}), true},
        RuleCase{"ByteOrderMarkAlone", {0xFF, 0xFE}, true},
        RuleCase{"Utf8TextIsNot", Of("$x = 1; Write-Output $x;"), false},
        RuleCase{"OddLengthIsNot", Join(Utf16(u"Write-Output 1"), {0x0A}), false},
        RuleCase{"EmptyIsNot", {}, false},
        RuleCase{"OneByteIsNot", {0x41}, false},
        RuleCase{"OneUnit", Utf16(u"A"), true},
        RuleCase{"PeImageIsNot", PeStart, false},
        RuleCase{"NulUnitsAreNot", Bytes(64, 0), false},
        RuleCase{"BigEndianByteOrderMarkIsNot", {0xFE, 0xFF, 0, 0x61, 0, 0x62, 0, 0x63}, false},
        RuleCase{"ThreeInFourAsciiIs", Join(AsciiUnits(3), CjkUnits(1)), true},
        RuleCase{"TwoInFourAsciiIsNot", Join(AsciiUnits(2), CjkUnits(2)), false},
        RuleCase{"ExactlyThreeQuartersOfTheSample", Join(AsciiUnits(384), CjkUnits(128)), true},
        RuleCase{"JustBelowThreeQuarters", Join(AsciiUnits(383), CjkUnits(129)), false},
        RuleCase{"OnlyTheFirst512UnitsCount", Join(AsciiUnits(512), Repeat(PeStart, 64)), true},
        RuleCase{"AsciiAfterABinaryStartIsNot",
                 Join(Repeat(PeStart, 64), AsciiUnits(2048)), false}),
    [](const testing::TestParamInfo<RuleCase>& info) { return std::string(info.param.name); });

TEST(TextRuleTest, NeedsTheSampleOrTheWholeContent) {
  struct {
    size_t total;
    size_t needed;
  } const cases[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {1023, 2}, {10, 10}, {1024, 1024},
                     {1026, 1024}, {8u << 20, 1024}};
  for (const auto& c : cases) {
    EXPECT_EQ(TextDecisionBytes(c.total), c.needed) << "total " << c.total;
  }
}

TEST(TextModeTest, ParsesTheOptionValues) {
  ClamdTextMode mode = ClamdTextMode::Raw;
  EXPECT_TRUE(ParseClamdTextMode("utf8", &mode));
  EXPECT_EQ(mode, ClamdTextMode::Utf8);
  EXPECT_STREQ(ClamdTextModeName(mode), "utf8");
  EXPECT_TRUE(ParseClamdTextMode("raw", &mode));
  EXPECT_EQ(mode, ClamdTextMode::Raw);
  EXPECT_STREQ(ClamdTextModeName(mode), "raw");
  for (const char* bad : {"", "UTF8", "utf-8", "raw ", "text"}) {
    EXPECT_FALSE(ParseClamdTextMode(bad, &mode)) << bad;
    EXPECT_EQ(mode, ClamdTextMode::Raw) << "left as it was";
  }
}

// Feeds `content` cut at `cuts` (ascending offsets) and returns what the
// transcoder gives, checking that it holds nothing back once it has decided.
Bytes Transcode(ClamdTextMode mode, const Bytes& content, const std::vector<size_t>& cuts,
                size_t announced, ContentTranscoder::Form* form = nullptr) {
  ContentTranscoder transcoder;
  transcoder.Begin(mode, announced);
  Bytes out;
  size_t start = 0;
  std::vector<size_t> ends = cuts;
  ends.push_back(content.size());
  for (const size_t end : ends) {
    transcoder.Feed(content.data() + start, end - start, &out);
    start = end;
  }
  transcoder.Finish(&out);
  if (form != nullptr) *form = transcoder.form();
  return out;
}

Bytes Transcode(ClamdTextMode mode, const Bytes& content, const std::vector<size_t>& cuts) {
  return Transcode(mode, content, cuts, content.size());
}

TEST(ContentTranscoderTest, GivesTheSameUtf8WhereverTheContentIsCut) {
  for (const bool byteOrderMark : {false, true}) {
    const Bytes content = Utf16(Sample, byteOrderMark);
    const Bytes expected = Of(SampleUtf8);
    for (size_t i = 0; i <= content.size(); ++i) {
      for (size_t j = i; j <= content.size(); ++j) {
        ASSERT_EQ(Transcode(ClamdTextMode::Utf8, content, {i, j}), expected)
            << "cut at " << i << " and " << j << (byteOrderMark ? " with" : " without")
            << " a byte order mark";
      }
    }
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < content.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(Transcode(ClamdTextMode::Utf8, content, everyByte), expected);
  }
}

TEST(ContentTranscoderTest, DecidesWithinAPieceAndPassesTheRestOn) {
  // 3000 bytes, the decision after 1024 of them, in one piece and in two
  // that straddle the sample's end.
  const std::u16string text = std::u16string(1499, u'x') + u"\u00e9";
  const std::string expected = std::string(1499, 'x') + "\xC3\xA9";
  EXPECT_EQ(Transcode(ClamdTextMode::Utf8, Utf16(text), {}), Of(expected));
  EXPECT_EQ(Transcode(ClamdTextMode::Utf8, Utf16(text), {1023}), Of(expected));
  EXPECT_EQ(Transcode(ClamdTextMode::Utf8, Utf16(text), {1025, 2999}), Of(expected));
}

TEST(ContentTranscoderTest, HoldsBackOnlyUntilItDecides) {
  const Bytes content = Utf16(std::u16string(1000, u'y'));
  ContentTranscoder transcoder;
  transcoder.Begin(ClamdTextMode::Utf8, content.size());
  Bytes out;
  transcoder.Feed(content.data(), 1023, &out);
  EXPECT_TRUE(out.empty()) << "the rule's sample is not complete";
  EXPECT_EQ(transcoder.form(), ContentTranscoder::Form::Undecided);
  transcoder.Feed(content.data() + 1023, 1, &out);
  EXPECT_EQ(transcoder.form(), ContentTranscoder::Form::Utf16Text);
  EXPECT_EQ(out, Of(std::string(512, 'y')));
  transcoder.Feed(content.data() + 1024, content.size() - 1024, &out);
  EXPECT_EQ(out, Of(std::string(1000, 'y')));

  // A byte order mark decides at once.
  ContentTranscoder marked;
  marked.Begin(ClamdTextMode::Utf8, 5000);
  Bytes markedOut;
  const Bytes start = Utf16(u"ab", true);
  marked.Feed(start.data(), start.size(), &markedOut);
  EXPECT_EQ(marked.form(), ContentTranscoder::Form::Utf16Text);
  EXPECT_EQ(markedOut, Of("ab"));
}

TEST(ContentTranscoderTest, ContentEndingBeforeItsAnnouncedLengthIsDecidedOnWhatCame) {
  ContentTranscoder::Form form;
  EXPECT_EQ(Transcode(ClamdTextMode::Utf8, Utf16(u"short"), {3}, 4096, &form), Of("short"));
  EXPECT_EQ(form, ContentTranscoder::Form::Utf16Text);
  EXPECT_EQ(Transcode(ClamdTextMode::Utf8, PeStart, {}, 4096, &form), PeStart);
  EXPECT_EQ(form, ContentTranscoder::Form::AsIs);
}

struct SurrogateCase {
  const char* name;
  Bytes content;
  std::string utf8;
};

void PrintTo(const SurrogateCase& c, std::ostream* out) { *out << c.name; }

class ContentTranscoderSurrogateTest : public testing::TestWithParam<SurrogateCase> {};

// Each content starts with a byte order mark, so that the rule takes it as
// text however few of its code units are ASCII.
TEST_P(ContentTranscoderSurrogateTest, ReplacesWhatIsNotAPair) {
  const SurrogateCase& c = GetParam();
  for (size_t cut = 0; cut <= c.content.size(); ++cut) {
    EXPECT_EQ(Transcode(ClamdTextMode::Utf8, c.content, {cut}), Of(c.utf8)) << "cut at " << cut;
  }
}

const char* const Replacement = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, ContentTranscoderSurrogateTest,
    testing::Values(
        SurrogateCase{"Pair", Utf16(u"ab\U00010348cd", true), "ab\xF0\x90\x8D\x88" "cd"},
        SurrogateCase{"HighThenAscii", Utf16(u"ab\xD800" u"cd", true),
                      std::string("ab") + Replacement + "cd"},
        SurrogateCase{"LoneLow", Utf16(u"ab\xDC00" u"cd", true),
                      std::string("ab") + Replacement + "cd"},
        SurrogateCase{"TwoHighsThenLow", Utf16(u"ab\xD800\xD800\xDC00", true),
                      std::string("ab") + Replacement + "\xF0\x90\x80\x80"},
        SurrogateCase{"HighAtTheEnd", Utf16(u"abcd\xDBFF", true),
                      std::string("abcd") + Replacement},
        SurrogateCase{"OddByteAtTheEnd", Join(Utf16(u"abcd", true), {0x41}),
                      std::string("abcd") + Replacement}),
    [](const testing::TestParamInfo<SurrogateCase>& info) { return std::string(info.param.name); });

TEST(ContentTranscoderTest, LeavesBinaryContentAsItIs) {
  const Bytes content = Join(Repeat(PeStart, 100), Utf16(u"a string inside"));
  for (const size_t cut : {size_t{0}, size_t{1}, size_t{2}, size_t{1023}, size_t{1024},
                           size_t{1025}, size_t{3001}}) {
    ContentTranscoder::Form form;
    EXPECT_EQ(Transcode(ClamdTextMode::Utf8, content, {cut}, content.size(), &form), content)
        << "cut at " << cut;
    EXPECT_EQ(form, ContentTranscoder::Form::AsIs);
  }
  EXPECT_EQ(Transcode(ClamdTextMode::Utf8, Of("plain UTF-8 text"), {5}), Of("plain UTF-8 text"));
}

TEST(ContentTranscoderTest, RawModeSendsTextAsItIs) {
  const Bytes content = Utf16(Sample, true);
  for (const size_t cut : {size_t{0}, size_t{1}, size_t{7}}) {
    ContentTranscoder::Form form;
    EXPECT_EQ(Transcode(ClamdTextMode::Raw, content, {cut}, content.size(), &form), content);
    EXPECT_EQ(form, ContentTranscoder::Form::AsIs);
  }
}

TEST(ContentTranscoderTest, BeginStartsAfresh) {
  ContentTranscoder transcoder;
  Bytes out;
  const Bytes first = Utf16(u"x\xD800");
  transcoder.Begin(ClamdTextMode::Utf8, first.size() + 1);
  transcoder.Feed(first.data(), first.size(), &out);
  const Bytes odd = {0x41};
  transcoder.Feed(odd.data(), odd.size(), &out);
  // Begun again before Finish: nothing of the first content carries over.
  const Bytes second = PeStart;
  Bytes secondOut;
  transcoder.Begin(ClamdTextMode::Utf8, second.size());
  transcoder.Feed(second.data(), second.size(), &secondOut);
  transcoder.Finish(&secondOut);
  EXPECT_EQ(secondOut, second);
}

}  // namespace
