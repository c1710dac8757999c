//
// How a job watches a printer's line while a write waits for it.
//

#include "line_watch.h"

//
// 'JudgeLine()' - Report a line stalled past the report time; give a stopping job's write up
//                 after the grace.
//

LineVerdict JudgeLine(long stalled_ms, bool stopping) {
  return LineVerdict{stalled_ms >= kLineStallReportMs, stopping && stalled_ms >= kCancelGraceMs};
}
