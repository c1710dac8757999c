//
// How a job watches a printer's line while a write waits for it.
//

#include "line_watch.h"

#include <algorithm>

//
// 'JudgeLine()' - Report a line stalled past the report time; give a stopping job's write up
//                 once the line took nothing for the grace since the job was seen stopping.
//

LineVerdict JudgeLine(long stalled_ms, long stopping_ms) {
  bool giveUp = stopping_ms >= 0 && std::min(stalled_ms, stopping_ms) >= kCancelGraceMs;
  return LineVerdict{stalled_ms >= kLineStallReportMs, giveUp};
}
