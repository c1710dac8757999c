// The strict stream parser: every command with its offset, length and value, and every
// malformed shape refused at the byte where the offending command begins; the reader of
// descriptors finds the same commands and gives the same messages.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "printer_stream.h"
#include "test_support.h"

namespace {

using K = CommandKind;

// StreamReader's buffer, which a file fills in one read: cases longer than this make the
// reader read again in the middle of a command.
constexpr size_t kReaderBuffer = 256 * 1024;

// The longest graphics command, 196610 bytes.
const Bytes kLongestGraphics = Cat({Hex("1B 25 31 FF FF"), Repeat(0x55, 3 * 65535)});

// What StreamReader found in a stream read from a file, and how the reading ended.
struct ReaderResult {
  std::vector<PrinterCommand> commands;
  StreamStep last;
  std::string error;
};

//
// 'ReadWithReader()' - Read a stream from a file through StreamReader, to its end or refusal.
//
// Every command's bytes must be the stream's bytes at its offset.
//

ReaderResult ReadWithReader(const Bytes &stream) {
  TempDir dir;
  const int fd = open(dir.Write("stream.prn", stream).c_str(), O_RDONLY);
  StreamReader reader;
  StartStreamReader(reader, fd, 0, SIZE_MAX, -1);
  ReaderResult result;
  PrinterCommand command;
  const unsigned char *bytes = nullptr;
  while ((result.last = ReadNextCommand(reader, command, bytes, result.error)) ==
         StreamStep::kCommand) {
    EXPECT_EQ(memcmp(bytes, stream.data() + command.offset, command.length), 0)
        << "bytes of the command at " << command.offset;
    result.commands.push_back(command);
  }
  close(fd);
  return result;
}

struct GoodCase {
  const char *name;
  Bytes stream;
  std::vector<PrinterCommand> expected;
};

// Test names carry the case's name; its bytes stay out of them.
void PrintTo(const GoodCase &c, std::ostream *out) {
  *out << c.name;
}

class StreamParseTest : public testing::TestWithParam<GoodCase> {};

TEST_P(StreamParseTest, FindsEveryCommand) {
  const GoodCase &c = GetParam();
  ParsedStream parsed = ParsePrinterStream(c.stream.data(), c.stream.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.commands.size(), c.expected.size());
  for (size_t i = 0; i < c.expected.size(); i++) {
    const PrinterCommand &want = c.expected[i];
    const PrinterCommand &got = parsed.commands[i];
    EXPECT_EQ(static_cast<int>(got.kind), static_cast<int>(want.kind)) << "command " << i;
    EXPECT_EQ(got.offset, want.offset) << "command " << i;
    EXPECT_EQ(got.length, want.length) << "command " << i;
    EXPECT_EQ(got.value, want.value) << "command " << i;
  }
}

TEST_P(StreamParseTest, ReaderFindsTheSameCommands) {
  const GoodCase &c = GetParam();
  ReaderResult read = ReadWithReader(c.stream);
  ASSERT_EQ(static_cast<int>(read.last), static_cast<int>(StreamStep::kEnd)) << read.error;
  ASSERT_EQ(read.commands.size(), c.expected.size());
  for (size_t i = 0; i < c.expected.size(); i++) {
    EXPECT_EQ(static_cast<int>(read.commands[i].kind), static_cast<int>(c.expected[i].kind))
        << "command " << i;
    EXPECT_EQ(read.commands[i].offset, c.expected[i].offset) << "command " << i;
    EXPECT_EQ(read.commands[i].value, c.expected[i].value) << "command " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Preview, StreamParseTest,
    testing::Values(
        GoodCase{"Empty", Bytes{}, {}},
        GoodCase{"JobWithOneEmptyPage",
                 Hex("1B 49 0D 0D 0C"),
                 {{K::kQualityLetter, 0, 2, 0},
                  {K::kCarriageReturn, 2, 1, 0},
                  {K::kCarriageReturn, 3, 1, 0},
                  {K::kFormFeed, 4, 1, 0}}},
        GoodCase{"DraftQuality",
                 Hex("1B 44 0D"),
                 {{K::kQualityDraft, 0, 2, 0}, {K::kCarriageReturn, 2, 1, 0}}},
        GoodCase{"LargestFeedAndSkip",
                 Hex("1B 25 35 FF 1B 25 33 FF FF"),
                 {{K::kFeed, 0, 4, 255}, {K::kSkip, 4, 5, 65535}}},
        GoodCase{"SkipCountHighByteFirst", Hex("1B 25 33 01 02"), {{K::kSkip, 0, 5, 258}}},
        // Graphics data may hold any byte, command bytes included; none is read as a command.
        GoodCase{"GraphicsDataIsNotCommands",
                 Cat({Hex("1B 25 31 00 03 1B 25 35 0D 0C 1B 1B 49 00 0D")}),
                 {{K::kGraphics, 0, 14, 3}, {K::kCarriageReturn, 14, 1, 0}}},
        GoodCase{"GraphicsOfNoColumns",
                 Hex("1B 25 31 00 00 0D"),
                 {{K::kGraphics, 0, 5, 0}, {K::kCarriageReturn, 5, 1, 0}}},
        // The band the filter writes for a 40-column band with dots in columns 3-5, 30, 31.
        GoodCase{
            "FilterBand",
            Cat({Hex("1B 25 35 10 1B 25 33 00 0A 1B 25 31 00 06"), Repeat(0, 9), Repeat(0xFF, 9),
                 Hex("1B 25 33 00 18 1B 25 31 00 02"), Hex("80 00 00 00 00 01 0D")}),
            {{K::kFeed, 0, 4, 16},
             {K::kSkip, 4, 5, 10},
             {K::kGraphics, 9, 23, 6},
             {K::kSkip, 32, 5, 24},
             {K::kGraphics, 37, 11, 2},
             {K::kCarriageReturn, 48, 1, 0}}},
        GoodCase{"LongestGraphics", kLongestGraphics, {{K::kGraphics, 0, 5 + 3 * 65535, 65535}}},
        // The second longest graphics command runs past the reader's first buffer.
        GoodCase{"CommandsAcrossReads",
                 Cat({Hex("0D"), kLongestGraphics, Hex("1B 25 35 01"), kLongestGraphics,
                      kLongestGraphics, Hex("0C")}),
                 {{K::kCarriageReturn, 0, 1, 0},
                  {K::kGraphics, 1, 196610, 65535},
                  {K::kFeed, 196611, 4, 1},
                  {K::kGraphics, 196615, 196610, 65535},
                  {K::kGraphics, 393225, 196610, 65535},
                  {K::kFormFeed, 589835, 1, 0}}}),
    [](const testing::TestParamInfo<GoodCase> &info) { return std::string(info.param.name); });

struct BadCase {
  const char *name;
  Bytes stream;
  size_t offset;
  size_t commands_before;  // commands parsed before the bad one
  std::string message;     // the whole error text
};

void PrintTo(const BadCase &c, std::ostream *out) {
  *out << c.name;
}

class StreamRefusalTest : public testing::TestWithParam<BadCase> {};

TEST_P(StreamRefusalTest, NamesOffsetAndBytes) {
  const BadCase &c = GetParam();
  ParsedStream parsed = ParsePrinterStream(c.stream.data(), c.stream.size());
  EXPECT_FALSE(parsed.ok);
  EXPECT_EQ(parsed.error_offset, c.offset);
  EXPECT_EQ(parsed.commands.size(), c.commands_before);
  EXPECT_EQ(parsed.error, c.message);
}

TEST_P(StreamRefusalTest, ReaderRefusesWithTheSameMessage) {
  const BadCase &c = GetParam();
  ReaderResult read = ReadWithReader(c.stream);
  EXPECT_EQ(static_cast<int>(read.last), static_cast<int>(StreamStep::kRefused));
  EXPECT_EQ(read.commands.size(), c.commands_before);
  EXPECT_EQ(read.error, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Preview, StreamRefusalTest,
    testing::Values(
        BadCase{"UnknownFirstByte", Hex("41 42"), 0, 0,
                "at byte 0: unknown byte 41; bytes there: 41 42 (end of stream)"},
        BadCase{"LineFeedAfterCarriageReturn", Hex("0D 0A 0D"), 1, 1,
                "at byte 1: unknown byte 0A; bytes there: 0A 0D (end of stream)"},
        BadCase{"ZeroAfterQuality", Hex("1B 49 00 0D 0D 0D 0D 0D 0D 0D 0D 0D"), 2, 1,
                "at byte 2: unknown byte 00; bytes there: 00 0D 0D 0D 0D 0D 0D 0D ..."},
        BadCase{"EscapeAtTheEnd", Hex("0D 1B"), 1, 1,
                "at byte 1: escape cut off by the end of the stream; bytes there: 1B (end of "
                "stream)"},
        BadCase{"UnknownEscape", Hex("0C 1B 40"), 1, 1,
                "at byte 1: unknown command ESC 40; bytes there: 1B 40 (end of stream)"},
        BadCase{"UnknownPercentCommand", Hex("1B 25 32 00 00"), 0, 0,
                "at byte 0: unknown command ESC % 32; bytes there: 1B 25 32 00 00 (end of "
                "stream)"},
        BadCase{"PercentCutOff", Hex("0D 1B 25"), 1, 1,
                "at byte 1: command cut off by the end of the stream; bytes there: 1B 25 (end "
                "of stream)"},
        BadCase{"FeedWithoutUnits", Hex("1B 25 35"), 0, 0,
                "at byte 0: feed command cut off by the end of the stream; bytes there: 1B 25 "
                "35 (end of stream)"},
        BadCase{"SkipWithOneCountByte", Hex("1B 25 35 10 1B 25 33 00"), 4, 1,
                "at byte 4: skip command cut off by the end of the stream; bytes there: 1B 25 "
                "33 00 (end of stream)"},
        BadCase{"GraphicsWithoutCount", Hex("0C 1B 25 31"), 1, 1,
                "at byte 1: graphics command cut off by the end of the stream; bytes there: "
                "1B 25 31 (end of stream)"},
        BadCase{"GraphicsOneByteShort", Hex("1B 25 31 00 02 FF FF FF FF FF"), 0, 0,
                "at byte 0: graphics command for 2 columns needs 6 data bytes, 5 remain; bytes "
                "there: 1B 25 31 00 02 FF FF FF ..."},
        BadCase{"GraphicsCountFarBeyondTheEnd", Hex("0D 1B 25 31 FF FF 00"), 1, 1,
                "at byte 1: graphics command for 65535 columns needs 196605 data bytes, 1 "
                "remain; bytes there: 1B 25 31 FF FF 00 (end of stream)"},
        // An escape inside graphics data is data; the next command after it is the bad one.
        BadCase{"AfterGraphicsHoldingAnEscape", Hex("1B 25 31 00 01 1B 25 35 1B 25"), 8, 1,
                "at byte 8: command cut off by the end of the stream; bytes there: 1B 25 (end "
                "of stream)"},
        // The bad byte is 4 bytes before the end of the reader's first buffer; the message
        // still shows 8 bytes and that more follow.
        BadCase{"BadByteAtTheEndOfAFirstRead",
                Cat({kLongestGraphics, Repeat(0x0D, kReaderBuffer - 4 - kLongestGraphics.size()),
                     Hex("0A"), Repeat(0x0D, 19)}),
                kReaderBuffer - 4, 1 + kReaderBuffer - 4 - kLongestGraphics.size(),
                "at byte 262140: unknown byte 0A; bytes there: 0A 0D 0D 0D 0D 0D 0D 0D ..."}),
    [](const testing::TestParamInfo<BadCase> &info) { return std::string(info.param.name); });

}  // namespace
