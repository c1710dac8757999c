//
// Strict parser of the printer command stream: every byte must belong to a known command. The
// same command reader serves a whole stream in memory and a stream read from a descriptor.
//

#include "printer_stream.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// The reader's buffer: the longest command (5 + 3 x 65535 bytes) and room to read ahead.
constexpr size_t kReaderBytes = 256 * 1024;

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
// 'RefusalText()' - Say what is wrong at an offset and show the bytes there.
//
// bytes holds the available bytes from the offset on; the stream ends after them when
// stream_ends is set, which the text says when the shown bytes reach that end.
//

static std::string RefusalText(size_t offset, const std::string &what, const unsigned char *bytes,
                               size_t available, bool stream_ends) {
  std::string text = "at byte " + std::to_string(offset) + ": " + what + "; bytes there:";
  char cell[4];
  const size_t shown = available < kShownBytes ? available : kShownBytes;
  for (size_t i = 0; i < shown; i++) {
    snprintf(cell, sizeof cell, " %02X", bytes[i]);
    text += cell;
  }
  text += stream_ends && shown == available ? " (end of stream)" : " ...";
  return text;
}

// What ReadCommand() found at the start of some bytes of a stream.
enum class CommandFound { kCommand, kNeedMore, kRefused };

//
// 'ReadCommand()' - Read the command at the start of bytes, or say why there is none.
//
// bytes holds available bytes of the stream, which ends after them when stream_ends is set.
// Returns kCommand with command filled in (its offset 0: the caller knows where the bytes
// lie); kNeedMore when the bytes hold the start of a command that more bytes may complete; kRefused
// with what is wrong in what: a byte that starts no command, an escape sequence the printer
// does not know, a command cut off by the end of the stream, and graphics whose column count
// reaches past the end.
//

static CommandFound ReadCommand(const unsigned char *bytes, size_t available, bool stream_ends,
                                PrinterCommand &command, std::string &what) {
  // A command cut off: wait for more bytes, or refuse when there are none.
  auto cutOff = [&](const char *text) {
    if (!stream_ends) {
      return CommandFound::kNeedMore;
    }
    what = text;
    return CommandFound::kRefused;
  };
  char text[48];
  const unsigned char first = bytes[0];

  if (first == kCarriageReturn || first == kFormFeed) {
    command = {first == kCarriageReturn ? CommandKind::kCarriageReturn : CommandKind::kFormFeed, 0,
               1, 0};
    return CommandFound::kCommand;
  }
  if (first != kEsc) {
    snprintf(text, sizeof text, "unknown byte %02X", first);
    what = text;
    return CommandFound::kRefused;
  }
  if (available < 2) {
    return cutOff("escape cut off by the end of the stream");
  }

  // Two-byte quality selection.
  const unsigned char second = bytes[1];
  if (second == 'I' || second == 'D') {
    command = {second == 'I' ? CommandKind::kQualityLetter : CommandKind::kQualityDraft, 0, 2, 0};
    return CommandFound::kCommand;
  }
  if (second != kCommandGroup) {
    snprintf(text, sizeof text, "unknown command ESC %02X", second);
    what = text;
    return CommandFound::kRefused;
  }
  if (available < 3) {
    return cutOff("command cut off by the end of the stream");
  }

  // ESC "%" and a letter: feed with one byte, skip and graphics with a 16-bit count.
  const unsigned char letter = bytes[2];
  if (letter == kFeedLetter) {
    if (available < kFeedBytes) {
      return cutOff("feed command cut off by the end of the stream");
    }
    command = {CommandKind::kFeed, 0, kFeedBytes, bytes[3]};
    return CommandFound::kCommand;
  }
  if (letter != kSkipLetter && letter != kGraphicsLetter) {
    snprintf(text, sizeof text, "unknown command ESC %% %02X", letter);
    what = text;
    return CommandFound::kRefused;
  }
  const bool graphics = letter == kGraphicsLetter;
  if (available < kCountCommandBytes) {
    return cutOff(graphics ? "graphics command cut off by the end of the stream"
                           : "skip command cut off by the end of the stream");
  }
  const int count = bytes[3] << 8 | bytes[4];
  if (!graphics) {
    command = {CommandKind::kSkip, 0, kCountCommandBytes, count};
    return CommandFound::kCommand;
  }

  // Graphics data: 3 bytes for each of count columns, all of them inside the stream.
  const size_t dataBytes = kBytesPerColumn * static_cast<size_t>(count);
  const size_t remain = available - kCountCommandBytes;
  if (remain < dataBytes) {
    if (!stream_ends) {
      return CommandFound::kNeedMore;
    }
    what = "graphics command for " + std::to_string(count) + " columns needs " +
           std::to_string(dataBytes) + " data bytes, " + std::to_string(remain) + " remain";
    return CommandFound::kRefused;
  }
  command = {CommandKind::kGraphics, 0, kCountCommandBytes + dataBytes, count};
  return CommandFound::kCommand;
}

//
// 'ParsePrinterStream()' - Cut a byte stream into printer commands; refuse the first bad one.
//
// Returns every command with its offset, length and parameter when all bytes parse.
//

ParsedStream ParsePrinterStream(const unsigned char *data, size_t size) {
  ParsedStream parsed{true, 0, std::string(), {}};
  std::string what;
  size_t at = 0;
  while (at < size) {
    PrinterCommand command;
    // With the whole stream at hand, a command is found or refused, never waited for.
    if (ReadCommand(data + at, size - at, true, command, what) != CommandFound::kCommand) {
      parsed.ok = false;
      parsed.error_offset = at;
      parsed.error = RefusalText(at, what, data + at, size - at, true);
      return parsed;
    }
    command.offset = at;
    parsed.commands.push_back(command);
    at += command.length;
  }
  return parsed;
}

void StartStreamReader(StreamReader &reader, int fd, size_t offset, size_t limit, int copy_fd) {
  reader.fd = fd;
  reader.copy_fd = copy_fd;
  reader.limit = limit;
  reader.buffer.resize(kReaderBytes);
  reader.start = 0;
  reader.end = 0;
  reader.offset = offset;
  reader.ended = offset >= limit;
}

bool RewindStreamReader(StreamReader &reader, size_t offset) {
  const size_t first = reader.offset - reader.start;  // the stream offset of buffer[0]
  if (offset < first || offset > reader.offset) {
    return false;
  }
  reader.start = offset - first;
  reader.offset = offset;
  return true;
}

//
// 'WriteAll()' - Write every byte to a descriptor, going on after short writes; false on error.
//

static bool WriteAll(int fd, const unsigned char *bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = write(fd, bytes, count);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

//
// 'FillReader()' - Read more bytes behind the unread ones; false with errno when that fails.
//
// The unread bytes move to the front of the buffer first, so that a whole command always fits.
// One read is made, which returns what a pipe holds without waiting for a full buffer: a bad
// first byte is seen as soon as it arrives.
//

static bool FillReader(StreamReader &reader) {
  if (reader.start > 0) {
    memmove(reader.buffer.data(), reader.buffer.data() + reader.start, reader.end - reader.start);
    reader.end -= reader.start;
    reader.start = 0;
  }
  const size_t readTo = reader.offset + reader.end;
  size_t room = reader.buffer.size() - reader.end;
  if (reader.limit - readTo < room) {
    room = reader.limit - readTo;
  }
  ssize_t got;
  do {
    got = read(reader.fd, reader.buffer.data() + reader.end, room);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    return false;
  }
  if (got > 0 && reader.copy_fd >= 0 &&
      !WriteAll(reader.copy_fd, reader.buffer.data() + reader.end, static_cast<size_t>(got))) {
    return false;
  }
  reader.end += static_cast<size_t>(got);
  reader.ended = got == 0 || reader.offset + reader.end >= reader.limit;
  return true;
}

//
// 'UnreadCommand()' - Put back the command just read: its bytes are still in the buffer.
//

void UnreadCommand(StreamReader &reader, const PrinterCommand &command) {
  reader.start -= command.length;
  reader.offset -= command.length;
}

//
// 'ReadNextCommand()' - Read the next command of the stream, reading more bytes as it needs.
//
// More than kShownBytes bytes are read ahead (or all there are), so that a refusal shows the
// same bytes, and says "end of stream" in the same places, as ParsePrinterStream() does.
//

StreamStep ReadNextCommand(StreamReader &reader, PrinterCommand &command,
                           const unsigned char *&bytes, std::string &error) {
  for (;;) {
    const size_t available = reader.end - reader.start;
    if (!reader.ended && available <= kShownBytes) {
      if (!FillReader(reader)) {
        error = strerror(errno);
        return StreamStep::kFailed;
      }
      continue;
    }
    if (available == 0) {
      return StreamStep::kEnd;
    }

    const unsigned char *at = reader.buffer.data() + reader.start;
    std::string what;
    switch (ReadCommand(at, available, reader.ended, command, what)) {
      case CommandFound::kCommand:
        command.offset = reader.offset;
        bytes = at;
        reader.start += command.length;
        reader.offset += command.length;
        return StreamStep::kCommand;
      case CommandFound::kNeedMore:
        if (!FillReader(reader)) {
          error = strerror(errno);
          return StreamStep::kFailed;
        }
        break;
      case CommandFound::kRefused:
        error = RefusalText(reader.offset, what, at, available, reader.ended);
        return StreamStep::kRefused;
    }
  }
}
