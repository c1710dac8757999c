//
// Run search: cut a packed band into runs of columns to print and the empty stretches between.
//

#include "engine/bands.h"

// Empty stretches longer than this are skipped; shorter ones travel as zero data bytes, which
// costs less on the serial line than a skip command and a new graphics header.
constexpr int kLongestAbsorbedGap = 16;

static bool IsEmptyColumn(const unsigned char *column) {
  return (column[0] | column[1] | column[2]) == 0;
}

//
// 'findStripPixel()' - Find the next run of columns to print and the empty stretch after it.
//
// run grows by every column up to the last non-empty one before a stretch of 17 or more empty
// columns (or the end); gap counts the empty columns after it. The caller sets both to 0.
// The counts are kept in locals while the columns are scanned: stores through the references
// could change the packed bytes as far as the compiler knows, and would be made per column.
//

void findStripPixel(const unsigned char *columns, int count, int &gap, int &run) {
  int empty = gap;
  int printed = run;
  for (int i = 0; i < count; i++) {
    if (IsEmptyColumn(columns + 3 * static_cast<size_t>(i))) {
      empty++;
    } else if (empty > kLongestAbsorbedGap) {
      break;
    } else {
      printed += empty + 1;
      empty = 0;
    }
  }
  gap = empty;
  run = printed;
}
