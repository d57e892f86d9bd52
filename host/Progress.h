// The progress callback opxhost hands to EXPORT_WriteToFile.
//
// While a file is written the callback draws a bar on standard error, only
// when standard error is a terminal, and answers the plug-in's question
// "go on?" from the Ctrl-C flag: after a Ctrl-C it answers non-zero and the
// plug-in stops before the row it asked about.
//
// Testing aid (the test-only program's --test-stop-at-row N, TestAids.h): the
// callback delivers a Ctrl-C to the process itself when the plug-in asks
// about row N, so an interrupted write can be tested without a terminal.
#ifndef OPXHOST_PROGRESS_H
#define OPXHOST_PROGRESS_H

#include <cstdint>
#include <string>

#include "United.h"

namespace opxhost {

// One write's progress; one at a time, since the callback has no context of
// its own.
class WriteProgress {
public:
    // label names the file in the bar; rows is the picture's height.
    WriteProgress(const std::string& label, int32_t rows);
    // Ends the bar's line.
    ~WriteProgress();
    WriteProgress(const WriteProgress&) = delete;
    WriteProgress& operator=(const WriteProgress&) = delete;

    static ProgressCallback callback();
    // True when the callback asked the plug-in to stop.
    bool stopped() const;
    // The row the plug-in was about to write when it was asked to stop.
    int32_t stoppedAtRow() const;
};

}  // namespace opxhost

#endif  // OPXHOST_PROGRESS_H
