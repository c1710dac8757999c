//
// Printer command stream of the Vorne 24-pin printer, read back: the strict parser that turns
// the bytes the filter writes into a list of commands, for the preview and for checks of the
// filter's output, and the same parser reading a file descriptor one command at a time.
//

#ifndef QUILLMARSH_PREVIEW_PRINTER_STREAM_H
#define QUILLMARSH_PREVIEW_PRINTER_STREAM_H

#include <cstddef>
#include <string>
#include <vector>

// The seven commands the printer knows, and nothing else:
//   kQualityLetter   1B 49             ESC "I", letter quality
//   kQualityDraft    1B 44             ESC "D", draft quality
//   kCarriageReturn  0D                head back to the left edge
//   kFormFeed        0C                end of page
//   kFeed            1B 25 35 n        paper advance of n units (2 units for every 3 dot rows)
//   kSkip            1B 25 33 hi lo    head moves right by a 16-bit count of columns
//   kGraphics        1B 25 31 hi lo    a 16-bit count of columns follows, 3 bytes each
enum class CommandKind {
  kQualityLetter,
  kQualityDraft,
  kCarriageReturn,
  kFormFeed,
  kFeed,
  kSkip,
  kGraphics
};

// How many kinds there are, for tables indexed by kind.
constexpr int kCommandKinds = 7;

// One command of the stream. offset and length locate its bytes (for graphics, the 5 header
// bytes and all data bytes); value is the feed units, the skip columns or the graphics
// columns, and 0 for the commands without a parameter. The data of a graphics command starts
// at offset + kGraphicsHeaderBytes.
struct PrinterCommand {
  CommandKind kind;
  size_t offset;
  size_t length;
  int value;
};

constexpr size_t kGraphicsHeaderBytes = 5;

// The result of a parse. When ok is false, error_offset is where the offending command begins
// (the unknown byte, the ESC of an unknown or truncated command, the ESC of a graphics command
// whose data runs past the end) and error says what is wrong and shows the bytes there;
// commands then holds only the commands before it and must not be trusted as a whole.
struct ParsedStream {
  bool ok;
  size_t error_offset;
  std::string error;
  std::vector<PrinterCommand> commands;
};

// Parses size bytes of printer commands, refusing anything outside the command set.
ParsedStream ParsePrinterStream(const unsigned char *data, size_t size);

// A short name of a command kind for messages and summaries ("graphics", "feed").
const char *CommandKindName(CommandKind kind);

// A stream read from a file descriptor one command at a time. The buffer holds the longest
// command (graphics for 65535 columns), so memory stays the same however long the stream.
struct StreamReader {
  int fd;
  int copy_fd;   // every byte read is written here too (a pipe to be read again), or -1
  size_t limit;  // no byte at or beyond this stream offset is read
  std::vector<unsigned char> buffer;
  size_t start;   // the next command's first byte in buffer
  size_t end;     // the end of the bytes read into buffer
  size_t offset;  // the stream offset of buffer[start]
  bool ended;     // the descriptor has no more bytes, or limit is reached
};

// Starts reading fd, whose next byte is at stream offset `offset`, up to stream offset limit
// (SIZE_MAX for all of it); copy_fd as in StreamReader.
void StartStreamReader(StreamReader &reader, int fd, size_t offset, size_t limit, int copy_fd);

// Goes back to stream offset `offset` when the buffer still holds the bytes from there on;
// false when it does not, and the caller must start the reader afresh.
bool RewindStreamReader(StreamReader &reader, size_t offset);

// How reading the next command ended.
enum class StreamStep { kCommand, kEnd, kRefused, kFailed };

// Reads the next command. kCommand: command holds it, with its stream offset, and bytes points
// at its bytes until the next call. kEnd: the stream ended after a whole command. kRefused:
// error holds the text ParsePrinterStream would give for the same stream. kFailed: reading or
// copying failed, error holds the system's reason.
// Puts the command just read back, so that the next read returns it again. Only the command
// the last read returned can be put back.
void UnreadCommand(StreamReader &reader, const PrinterCommand &command);

StreamStep ReadNextCommand(StreamReader &reader, PrinterCommand &command,
                           const unsigned char *&bytes, std::string &error);

#endif  // QUILLMARSH_PREVIEW_PRINTER_STREAM_H
