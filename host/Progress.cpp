#include "host/Progress.h"

#include <cstdint>

#include "host/Memory.h"
#include "host/Platform.h"
#include "host/TestAids.h"

namespace opxhost {

namespace {

constexpr int kBarWidth = 30;

struct ProgressState {
    std::string label;
    int32_t rows = 0;
    bool draw = false;
    int lastPercent = -1;
    int32_t stopAtRow = 0;         // the testing aid's row, 0 for none
    int32_t outOfMemoryAtRow = 0;  // the testing aid's row, 0 for none
    int32_t stoppedAt = 0;         // 0 while the write goes on
} state;

void drawBar(int32_t row) {
    // row is about to be written, so row - 1 rows are done.
    const int percent = state.rows > 0 ? static_cast<int>(int64_t{row - 1} * 100 / state.rows) : 0;
    if (percent == state.lastPercent) return;
    state.lastPercent = percent;
    const int filled = percent * kBarWidth / 100;
    std::string bar = "\rwriting " + state.label + " [";
    bar.append(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), ' ');
    bar += "] " + std::to_string(percent) + "%";
    printErr(bar);
}

int32_t stopAt(int32_t row) {
    if (state.stoppedAt == 0) state.stoppedAt = row;
    return 1;
}

int32_t PCX_CALL onRow(int32_t row) {
    if (state.stopAtRow != 0 && row == state.stopAtRow) simulateInterrupt();
    if (state.outOfMemoryAtRow != 0 && row == state.outOfMemoryAtRow) simulateOutOfMemory();
    if (interrupted() || memoryRanOut()) return stopAt(row);
    if (state.draw) drawBar(row);
    // Drawing the bar may have been what ran out.
    return memoryRanOut() ? stopAt(row) : 0;
}

}  // namespace

WriteProgress::WriteProgress(const std::string& label, int32_t rows) {
    state = ProgressState();
    state.label = label;
    state.rows = rows;
    state.draw = stderrIsTerminal();
    state.stopAtRow = testAids().stopAtRow;
    state.outOfMemoryAtRow = testAids().outOfMemoryAtRow;
}

WriteProgress::~WriteProgress() {
    if (state.draw && state.lastPercent >= 0) {
        if (state.stoppedAt == 0) {
            state.lastPercent = -1;
            drawBar(state.rows + 1);  // 100%
        }
        printErr("\n");
    }
}

ProgressCallback WriteProgress::callback() {
    return onRow;
}

bool WriteProgress::stopped() const {
    return state.stoppedAt != 0;
}

int32_t WriteProgress::stoppedAtRow() const {
    return state.stoppedAt;
}

}  // namespace opxhost
