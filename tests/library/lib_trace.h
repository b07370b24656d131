// The library's own trace written to a temporary file (key "debug.file"), for tests that check
// trace lines; and standard error captured into a file, for the filter calls' messages.
#ifndef NVX_TESTS_LIBRARY_LIB_TRACE_H
#define NVX_TESTS_LIBRARY_LIB_TRACE_H

#include <string>

namespace libtest
{

class TraceFile
{
  public:
    TraceFile();
    ~TraceFile();
    TraceFile(const TraceFile &) = delete;
    TraceFile &operator=(const TraceFile &) = delete;
    std::string text() const;
    // Occurrences of s in the trace.
    int count(const std::string &s) const;

  private:
    std::string path_;
};

class StderrCapture
{
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    // Ends the capture (once) and returns what was written.
    std::string finish();

  private:
    std::string path_;
    int saved_ = -1;
    std::string text_;
};

int count_of(const std::string &text, const std::string &s);

} // namespace libtest

#endif
