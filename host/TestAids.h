// What the test-only program (opxhost_testable) can be told on its command
// line to do, and the shipped opxhost never: its hidden --test-... options
// fill this record, which the shipped program leaves as it starts. The
// record is read where the aid acts: the progress callback (a Ctrl-C at a
// row), the interrupt road (which signal), the export dialog (clicks).
#ifndef OPXHOST_TEST_AIDS_H
#define OPXHOST_TEST_AIDS_H

#include <cstdint>
#include <string>

namespace opxhost {

// The signal a simulated interrupt raises natively; the Windows build always
// takes the console control handler's road.
enum class StopSignal { Interrupt, Terminate, HangUp };

struct TestAids {
    // --test-stop-at-row N: a Ctrl-C when the plug-in asks about row N of a
    // PCX write; 0 for none.
    int32_t stopAtRow = 0;
    // --test-out-of-memory-at-row N: what a failed operator new does, when
    // the plug-in asks about row N of a PCX write; 0 for none.
    int32_t outOfMemoryAtRow = 0;
    // --test-stop-signal TERM|HUP: natively, that signal instead of SIGINT.
    StopSignal stopSignal = StopSignal::Interrupt;
    // --test-dialog-clicks 2,OK: the clicks in the export dialog (Windows).
    std::string dialogClicks;
};

// The one record: all empty unless the test-only program's command line
// set it.
TestAids& testAids();

}  // namespace opxhost

#endif  // OPXHOST_TEST_AIDS_H
