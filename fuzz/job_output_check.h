//
// What a job's output must look like, whatever the raster it was given: the checks that the
// fuzz targets and the fault tests apply to standard output and standard error together.
//

#ifndef QUILLMARSH_FUZZ_JOB_OUTPUT_CHECK_H
#define QUILLMARSH_FUZZ_JOB_OUTPUT_CHECK_H

#include <cstddef>
#include <string>

// How the job ended and how it was set up, as far as the checks need to know.
struct JobOutcome {
  int xResolution;  // the job's horizontal resolution (360 halves the band width)
  bool failed;      // the job ended with an error (exit status 1, or kJobFailed)
};

// Checks the printer command stream out (size bytes) against the messages the job wrote:
// the stream parses; it opens with the job prologue; every page the messages announce is
// a carriage return, whole bands and a form feed, in the order announced, and only the job's
// last page may lack its form feed, and only when the job failed; every band is one feed (after
// any full feeds), the left skip, graphics runs split by skips of 17 columns or more and a
// carriage return, covers no more columns than its page's band width and carries no more than
// 3 x width + 15 bytes; no graphics data holds ESC "0"; a failed job says why on an "ERROR: "
// line and a job that did not fail writes none. Returns an empty string when all hold, or a
// description of the first that does not.
std::string CheckJobOutput(const unsigned char *out, size_t size, const std::string &messages,
                           const JobOutcome &outcome);

#endif  // QUILLMARSH_FUZZ_JOB_OUTPUT_CHECK_H
