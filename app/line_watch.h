//
// How a job watches a printer's line while a write waits for it: a line that takes no data
// for a while is reported on the printer (out of paper, offline or switched off: serial
// printers often wait minutes for paper, so the job waits too); a job that is canceled, or a
// server that stops, gives the line a short grace to take the rest of the page, then gives
// the write up.
//

#ifndef QUILLMARSH_APP_LINE_WATCH_H
#define QUILLMARSH_APP_LINE_WATCH_H

// After this long without a byte taken the line is reported as stalled.
constexpr long kLineStallReportMs = 10000;
// A canceled job's write is given up once the line has taken nothing for this long since the
// job was seen canceled.
constexpr long kCancelGraceMs = 750;

// The printer's state message while its line is stalled, and its state reason while it is
// stalled or its port is not there (see LineReport in pappl_guards.h).
constexpr const char *kLineStalledMessage =
    "The printer is not taking data: out of paper, offline or switched off?";
constexpr const char *kLineStalledReason = "offline-report";

// What to do about a line that has taken nothing for stalled_ms milliseconds (0: it has just
// taken bytes again), for a job that has been canceled (or whose server stops) for
// stopping_ms milliseconds, -1 when it is not.
struct LineVerdict {
  bool stalled;  // report the line as stalled (else clear the report)
  bool giveUp;   // give the write up
};
LineVerdict JudgeLine(long stalled_ms, long stopping_ms);

#endif  // QUILLMARSH_APP_LINE_WATCH_H
