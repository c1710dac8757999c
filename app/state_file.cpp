//
// The state file's end line, the job lines a restart changes, and job ids in spool file names.
//

#include "state_file.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The end line's start; the length and hash follow.
constexpr const char *kEndLine = "# quillmarsh state end: ";

// IPP's job states as PAPPL saves them (ipp_jstate_t), without the CUPS header.
constexpr const char *kProcessingState = "5";
constexpr const char *kPendingState = "3";

//
// 'Fnv1a()' - The 64-bit FNV-1a hash of the text.
//

static uint64_t Fnv1a(const std::string &text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (unsigned char c : text) {
    hash = (hash ^ c) * 0x100000001b3u;
  }
  return hash;
}

//
// 'EndsAsPapplEndsAState()' - Whether the text ends with a whole line, after its printers.
//

bool EndsAsPapplEndsAState(const std::string &body) {
  if (body.empty() || body.back() != '\n') {
    return false;
  }
  bool printers = body.find("\n<Printer ") != std::string::npos || body.rfind("<Printer ", 0) == 0;
  const std::string closing = "\n</Printer>\n";
  return !printers || (body.size() >= closing.size() &&
                       body.compare(body.size() - closing.size(), closing.size(), closing) == 0);
}

//
// 'SealState()' - Append the end line.
//

std::string SealState(const std::string &body) {
  char line[128];
  snprintf(line, sizeof line, "%s%zu bytes, fnv1a %016" PRIx64 "\n", kEndLine, body.size(),
           Fnv1a(body));
  return body + line;
}

//
// 'CheckState()' - Whether the text ends with an end line that matches what precedes it.
//

StateCheck CheckState(const std::string &text, std::string &body) {
  if (text.empty()) {
    return StateCheck::kEmpty;
  }
  if (text.back() != '\n') {
    return StateCheck::kUnsealed;  // cut inside a line
  }
  size_t start = text.size() < 2 ? std::string::npos : text.rfind('\n', text.size() - 2);
  start = start == std::string::npos ? 0 : start + 1;
  if (text.compare(start, strlen(kEndLine), kEndLine) != 0) {
    return StateCheck::kUnsealed;
  }
  std::string line = text.substr(start);
  size_t length = 0;
  uint64_t hash = 0;
  char end = '\0';
  if (sscanf(line.c_str() + strlen(kEndLine), "%zu bytes, fnv1a %16" SCNx64 "%c", &length, &hash,
             &end) != 3 ||
      end != '\n' || length != start || Fnv1a(text.substr(0, start)) != hash) {
    return StateCheck::kAltered;
  }
  body = text.substr(0, start);
  return StateCheck::kWhole;
}

//
// 'DescribeStateCheck()' - What is wrong with a file, for the log.
//

const char *DescribeStateCheck(StateCheck check) {
  switch (check) {
    case StateCheck::kWhole:
      return "is whole";
    case StateCheck::kEmpty:
      return "is empty";
    case StateCheck::kUnsealed:
      return "is cut short (it lacks its end line)";
    case StateCheck::kAltered:
      return "does not match its end line (cut or altered)";
  }
  return "is damaged";
}

namespace {

// One NAME="VALUE" of a state line: where its value starts and ends in the line.
struct Option {
  std::string name;
  size_t valueStart = 0, valueEnd = 0;
};

//
// 'ParseOptions()' - The options of a line after its directive, as PAPPL writes them.
//
// PAPPL writes each value in double quotes, with a backslash before a quote or a backslash
// inside; a value without quotes ends at the next space.
//

std::vector<Option> ParseOptions(const std::string &line, size_t at) {
  std::vector<Option> options;
  while (at < line.size()) {
    while (at < line.size() && line[at] == ' ') {
      at++;
    }
    size_t equals = line.find('=', at);
    if (at >= line.size() || equals == std::string::npos) {
      break;
    }
    Option option;
    option.name = line.substr(at, equals - at);
    at = equals + 1;
    if (at < line.size() && line[at] == '"') {
      option.valueStart = ++at;
      while (at < line.size() && line[at] != '"') {
        at += line[at] == '\\' ? 2 : 1;
      }
      option.valueEnd = at < line.size() ? at : line.size();
      at++;
    } else {
      option.valueStart = at;
      while (at < line.size() && line[at] != ' ') {
        at++;
      }
      option.valueEnd = at;
    }
    options.push_back(option);
  }
  return options;
}

// The value of an option as a positive number; 0 when it is not one.
int NumberOf(const std::string &line, const Option &option) {
  std::string value = line.substr(option.valueStart, option.valueEnd - option.valueStart);
  char *end = nullptr;
  long number = strtol(value.c_str(), &end, 10);
  return !value.empty() && *end == '\0' && number > 0 && number < 1000000000 ? int(number) : 0;
}

}  // namespace

//
// 'PendingInsteadOfProcessing()' - Save processing jobs as pending, and list them.
//

std::string PendingInsteadOfProcessing(const std::string &body, std::vector<JobRef> &processing) {
  std::string result;
  result.reserve(body.size());
  int printer = 0;
  size_t start = 0;
  while (start < body.size()) {
    size_t end = body.find('\n', start);
    end = end == std::string::npos ? body.size() : end + 1;
    std::string line = body.substr(start, end - start);
    start = end;

    if (line.rfind("<Printer ", 0) == 0) {
      printer = 0;
      for (const Option &option : ParseOptions(line, strlen("<Printer "))) {
        if (option.name == "id") {
          printer = NumberOf(line, option);
        }
      }
    } else if (line.rfind("Job ", 0) == 0 && printer > 0) {
      JobRef job{printer, 0};
      const Option *state = nullptr;
      std::vector<Option> options = ParseOptions(line, strlen("Job "));
      for (const Option &option : options) {
        if (option.name == "id") {
          job.job = NumberOf(line, option);
        } else if (option.name == "state" &&
                   line.compare(option.valueStart, option.valueEnd - option.valueStart,
                                kProcessingState) == 0) {
          state = &option;
        }
      }
      if (state != nullptr && job.job > 0) {
        line.replace(state->valueStart, state->valueEnd - state->valueStart, kPendingState);
        processing.push_back(job);
      }
    }
    result += line;
  }
  return result;
}

//
// 'HighestJobIds()' - The highest job id of each printer in a state text.
//

std::map<int, int> HighestJobIds(const std::string &text) {
  std::map<int, int> highest;
  int printer = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end;
    std::string line = text.substr(start, end - start);
    start = end + 1;

    int job = 0;
    if (line.rfind("<Printer ", 0) == 0) {
      printer = 0;
      for (const Option &option : ParseOptions(line, strlen("<Printer "))) {
        printer = option.name == "id" ? NumberOf(line, option) : printer;
      }
    } else if (line.rfind("NextJobId ", 0) == 0) {
      Option next;
      next.valueStart = strlen("NextJobId ");
      next.valueEnd = line.size();
      job = NumberOf(line, next) - 1;
    } else if (line.rfind("Job ", 0) == 0) {
      for (const Option &option : ParseOptions(line, strlen("Job "))) {
        job = option.name == "id" ? NumberOf(line, option) : job;
      }
    }
    if (printer > 0 && job > 0) {
      highest[printer] = std::max(highest[printer], job);
    }
  }
  return highest;
}

//
// 'SpoolFileJob()' - The printer and job a spool file belongs to.
//

bool SpoolFileJob(const std::string &name, JobRef &job, bool &marker) {
  const char *text = name.c_str();
  marker = name.rfind("printing-", 0) == 0;
  if (marker) {
    text += strlen("printing-");
  }
  // "p" five digits "j" nine digits, then the end (a marker) or "-" (a job's file).
  if (strlen(text) < 16 || text[0] != 'p' || text[6] != 'j') {
    return false;
  }
  for (int i : {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15}) {
    if (text[i] < '0' || text[i] > '9') {
      return false;
    }
  }
  if (marker ? text[16] != '\0' : text[16] != '-') {
    return false;
  }
  job.printer = atoi(std::string(text + 1, 5).c_str());
  job.job = atoi(std::string(text + 7, 9).c_str());
  return job.printer > 0 && job.job > 0;
}

//
// 'PrintingMarkerName()' - "printing-pPPPPPjJJJJJJJJJ".
//

std::string PrintingMarkerName(const JobRef &job) {
  char name[64];
  snprintf(name, sizeof name, "printing-p%05dj%09d", job.printer, job.job);
  return name;
}
