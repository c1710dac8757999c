//
// A Vorne command stream as the printer takes it: the preview's parser and layout, the
// stream's grammar of pages and bands, and the dots they strike.
//

#include "printed_job.h"

#include <algorithm>

#include "page_layout.h"
#include "printer_stream.h"

bool PrintedPage::Dot(int column, int row) const {
  return row >= 0 && row < height && column >= 0 && column < width &&
         marks[static_cast<size_t>(row) * width + column] == kMarkDot;
}

DotBox PrintedPage::Ink() const {
  DotBox box;
  bool any = false;
  for (int row = 0; row < height; row++) {
    for (int column = 0; column < width; column++) {
      if (!Dot(column, row)) {
        continue;
      }
      if (!any) {
        box = DotBox{column, row, column, row};
        any = true;
      }
      box.left = std::min(box.left, column);
      box.right = std::max(box.right, column);
      box.bottom = row;
    }
  }
  return box;
}

long PrintedPage::DotsIn(const DotBox &box) const {
  long count = 0;
  for (int row = box.top; row <= box.bottom; row++) {
    for (int column = box.left; column <= box.right; column++) {
      count += Dot(column, row) ? 1 : 0;
    }
  }
  return count;
}

// Where a grammar fault lies, for the error text.
static std::string At(const PrinterCommand &command, const std::string &what) {
  return what + " at byte " + std::to_string(command.offset);
}

//
// 'CutBands()' - Check the commands of the pages and record every band's top row and columns.
//
// After the prologue each page is a carriage return, bands and a form feed; a band is one or
// more feeds, the skip from the left edge, graphics and skips, and a carriage return.
//

static std::string CutBands(const std::vector<PrinterCommand> &commands,
                            std::vector<PrintedPage> &pages) {
  size_t i = 2;
  while (i < commands.size()) {
    if (commands[i].kind != CommandKind::kCarriageReturn) {
      return At(commands[i], "page does not begin with a carriage return");
    }
    i++;
    pages.emplace_back();
    int64_t units = 0;
    while (i < commands.size() && commands[i].kind != CommandKind::kFormFeed) {
      if (commands[i].kind != CommandKind::kFeed) {
        return At(commands[i], "band without a feed command");
      }
      for (; i < commands.size() && commands[i].kind == CommandKind::kFeed; i++) {
        units += commands[i].value;
      }
      if (i == commands.size() || commands[i].kind != CommandKind::kSkip) {
        return "band without its left skip";
      }
      PrintedBand band{static_cast<int>(units * 3 / 2), 0};
      for (i++; i < commands.size() && commands[i].kind != CommandKind::kCarriageReturn; i++) {
        if (commands[i].kind == CommandKind::kGraphics) {
          band.columns += commands[i].value;
        } else if (commands[i].kind != CommandKind::kSkip) {
          return At(commands[i], "unknown command in a band");
        }
      }
      if (i == commands.size()) {
        return "stream ends inside a band";
      }
      i++;  // the carriage return that closes the band
      pages.back().bands.push_back(band);
    }
    if (i == commands.size()) {
      return "last page has no form feed";
    }
    i++;  // the form feed
  }
  return "";
}

PrintedJob DecodeStream(const unsigned char *stream, size_t size) {
  PrintedJob job;
  ParsedStream parsed = ParsePrinterStream(stream, size);
  if (!parsed.ok) {
    job.error = parsed.error;
    return job;
  }
  const std::vector<PrinterCommand> &commands = parsed.commands;
  if (commands.size() < 2 ||
      (commands[0].kind != CommandKind::kQualityLetter &&
       commands[0].kind != CommandKind::kQualityDraft) ||
      commands[1].kind != CommandKind::kCarriageReturn) {
    job.error = "no quality prologue";
    return job;
  }
  job.draft = commands[0].kind == CommandKind::kQualityDraft;
  job.error = CutBands(commands, job.pages);
  if (!job.error.empty()) {
    return job;
  }

  // The dots: the preview's layout of the same pages, one by one.
  std::vector<PreviewPage> laid = LayOutPages(parsed);
  for (size_t p = 0; p < job.pages.size() && p < laid.size(); p++) {
    job.pages[p].width = laid[p].width;
    job.pages[p].height = laid[p].height;
    job.pages[p].marks = DrawPage(laid[p], stream, false);
  }
  return job;
}

PrintedJob DecodeStream(const std::string &stream) {
  return DecodeStream(reinterpret_cast<const unsigned char *>(stream.data()), stream.size());
}

PrintedJob DecodeStream(const std::vector<unsigned char> &stream) {
  return DecodeStream(stream.data(), stream.size());
}
