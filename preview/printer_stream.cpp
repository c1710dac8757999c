//
// Strict parser of the printer command stream: every byte must belong to a known command.
//

#include "printer_stream.h"

#include <cstdio>

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kCarriageReturn = 0x0D;
constexpr unsigned char kFormFeed = 0x0C;

// The second byte of the three-byte commands, and the third byte that names each of them.
constexpr unsigned char kCommandGroup = '%';
constexpr unsigned char kFeedLetter = '5';
constexpr unsigned char kSkipLetter = '3';
constexpr unsigned char kGraphicsLetter = '1';

constexpr size_t kFeedBytes = 4;
constexpr size_t kCountCommandBytes = 5;
constexpr size_t kBytesPerColumn = 3;

// How many bytes an error message shows from the offending offset on.
constexpr size_t kShownBytes = 8;

const char *CommandKindName(CommandKind kind) {
  switch (kind) {
    case CommandKind::kQualityLetter:
      return "letter quality";
    case CommandKind::kQualityDraft:
      return "draft quality";
    case CommandKind::kCarriageReturn:
      return "carriage return";
    case CommandKind::kFormFeed:
      return "form feed";
    case CommandKind::kFeed:
      return "feed";
    case CommandKind::kSkip:
      return "skip";
    case CommandKind::kGraphics:
      return "graphics";
  }
  return "unknown";
}

//
// 'Refuse()' - End a parse with a message that names the offset and shows the bytes there.
//

static ParsedStream &Refuse(ParsedStream &parsed, const unsigned char *data, size_t size,
                            size_t offset, const std::string &what) {
  std::string text = "at byte " + std::to_string(offset) + ": " + what + "; bytes there:";
  char cell[4];
  size_t end = offset + kShownBytes < size ? offset + kShownBytes : size;
  for (size_t i = offset; i < end; i++) {
    snprintf(cell, sizeof cell, " %02X", data[i]);
    text += cell;
  }
  text += end == size ? " (end of stream)" : " ...";
  parsed.ok = false;
  parsed.error_offset = offset;
  parsed.error = text;
  return parsed;
}

//
// 'ParsePrinterStream()' - Cut a byte stream into printer commands; refuse the first bad one.
//
// Returns every command with its offset, length and parameter when all bytes parse. A byte
// that starts no command, an escape sequence the printer does not know, a command cut off by
// the end of the stream, and graphics whose column count reaches past the end are refused.
//

ParsedStream ParsePrinterStream(const unsigned char *data, size_t size) {
  ParsedStream parsed{true, 0, std::string(), {}};
  size_t at = 0;
  while (at < size) {
    const size_t left = size - at;
    const unsigned char first = data[at];

    if (first == kCarriageReturn || first == kFormFeed) {
      CommandKind kind =
          first == kCarriageReturn ? CommandKind::kCarriageReturn : CommandKind::kFormFeed;
      parsed.commands.push_back({kind, at, 1, 0});
      at += 1;
      continue;
    }
    if (first != kEsc) {
      char what[48];
      snprintf(what, sizeof what, "unknown byte %02X", first);
      return Refuse(parsed, data, size, at, what);
    }
    if (left < 2) {
      return Refuse(parsed, data, size, at, "escape cut off by the end of the stream");
    }

    // Two-byte quality selection.
    const unsigned char second = data[at + 1];
    if (second == 'I' || second == 'D') {
      CommandKind kind = second == 'I' ? CommandKind::kQualityLetter : CommandKind::kQualityDraft;
      parsed.commands.push_back({kind, at, 2, 0});
      at += 2;
      continue;
    }
    if (second != kCommandGroup) {
      char what[48];
      snprintf(what, sizeof what, "unknown command ESC %02X", second);
      return Refuse(parsed, data, size, at, what);
    }
    if (left < 3) {
      return Refuse(parsed, data, size, at, "command cut off by the end of the stream");
    }

    // ESC "%" and a letter: feed with one byte, skip and graphics with a 16-bit count.
    const unsigned char letter = data[at + 2];
    if (letter == kFeedLetter) {
      if (left < kFeedBytes) {
        return Refuse(parsed, data, size, at, "feed command cut off by the end of the stream");
      }
      parsed.commands.push_back({CommandKind::kFeed, at, kFeedBytes, data[at + 3]});
      at += kFeedBytes;
      continue;
    }
    if (letter != kSkipLetter && letter != kGraphicsLetter) {
      char what[48];
      snprintf(what, sizeof what, "unknown command ESC %% %02X", letter);
      return Refuse(parsed, data, size, at, what);
    }
    const bool graphics = letter == kGraphicsLetter;
    if (left < kCountCommandBytes) {
      return Refuse(parsed, data, size, at,
                    graphics ? "graphics command cut off by the end of the stream"
                             : "skip command cut off by the end of the stream");
    }
    const int count = data[at + 3] << 8 | data[at + 4];
    if (!graphics) {
      parsed.commands.push_back({CommandKind::kSkip, at, kCountCommandBytes, count});
      at += kCountCommandBytes;
      continue;
    }

    // Graphics data: 3 bytes for each of count columns, all of them inside the stream.
    const size_t dataBytes = kBytesPerColumn * static_cast<size_t>(count);
    if (left - kCountCommandBytes < dataBytes) {
      return Refuse(parsed, data, size, at,
                    "graphics command for " + std::to_string(count) + " columns needs " +
                        std::to_string(dataBytes) + " data bytes, " +
                        std::to_string(left - kCountCommandBytes) + " remain");
    }
    parsed.commands.push_back({CommandKind::kGraphics, at, kCountCommandBytes + dataBytes, count});
    at += kCountCommandBytes + dataBytes;
  }
  return parsed;
}
