// The program's one error type and its one handler.
//
// Every problem that ends a command is thrown as an Error (or one of the
// subclasses below, which only name the category) and caught once, at the top
// of the command line, by report_error(). The category decides where the
// message goes and the exit status:
//
//   category            stream            prefix          status
//   usage               standard error    "strataperm: "  2
//   cannot_open         standard output   none            1   (the established
//                                                              "can't open file ..." texts)
//   malformed_input     standard error    "strataperm: "  1   (a file that cannot be read as
//                                                              its format says)
//   inconsistent_input  standard error    "strataperm: "  1   (files that read but do not
//                                                              agree, or choices that leave
//                                                              nothing to analyse)
//   degenerate_data     standard error    "strataperm: "  1   (data that reads but cannot be
//                                                              analysed)
//   output              standard error    "strataperm: "  1   (an output that cannot be written)
//
// Two fatal exits of the numerical library stay outside this path, because
// their text and order are fixed: run_time_error (allocation failures, three
// lines on standard error) and the distribution routines' argument messages.
// Memory exhaustion anywhere (std::bad_alloc, std::length_error) reaches
// run_time_error through the same top-level handler.
#pragma once

#include <stdexcept>
#include <string>

namespace strataperm {

class Error : public std::runtime_error {
 public:
  enum class Category {
    usage,
    cannot_open,
    malformed_input,
    inconsistent_input,
    degenerate_data,
    output,
  };
  Error(Category category, const std::string& message)
      : std::runtime_error(message), category_(category) {}
  Category category() const { return category_; }
  int exit_status() const { return category_ == Category::usage ? 2 : 1; }
  // Standard output (the established file-open messages) or standard error.
  bool to_standard_output() const { return category_ == Category::cannot_open; }

 private:
  Category category_;
};

// A command line that cannot be used; the message says what and how to get help.
class UsageError : public Error {
 public:
  explicit UsageError(const std::string& message) : Error(Category::usage, message) {}
};

// A problem with an input file: it cannot be opened, cannot be read as its
// format says, disagrees with another input, or leaves nothing to analyse.
class InputError : public Error {
 public:
  explicit InputError(const std::string& message)
      : Error(Category::malformed_input, message) {}
  InputError(Category category, const std::string& message) : Error(category, message) {}
};

// An output that cannot be created or written.
class OutputError : public Error {
 public:
  explicit OutputError(const std::string& message) : Error(Category::output, message) {}
};

// Prints `error` where its category belongs (standard output is flushed
// first, so the lines keep their order on a shared terminal) and returns its
// exit status.
int report_error(const Error& error);

// One warning line on standard error, "strataperm: warning: TEXT"; the run
// goes on.
void warn(const std::string& text);

// The report of memory exhaustion: ends the process through run_time_error.
[[noreturn]] void report_memory_exhausted();

}  // namespace strataperm
