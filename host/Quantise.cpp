// Code 9's conversion: a palette of up to 256 colours chosen for the picture,
// and the picture mapped to it with error diffusion.
//
// A picture of at most 256 colours keeps exactly its own colours (code 5's
// indexed picture): no palette does better. Any other picture goes through
// three steps:
//  1. A histogram at 6 bits a channel and Xiaolin Wu's box cutting over its
//     cumulative moments (X. Wu, "Efficient Statistical Computations for
//     Optimal Color Quantization", Graphics Gems II, 1991): the box with the
//     largest squared error is cut across the axis, and at the place, that
//     leave the least error in its two halves, until there are 256 boxes.
//     Each box's mean colour is a palette entry.
//  2. A few k-means (Lloyd) passes over the histogram's cells: each cell goes
//     to its nearest entry, each entry moves to the mean of its cells. Wu's
//     cuts are planes along the axes; these passes let the entries settle
//     where the picture's colours lie.
//  3. Floyd-Steinberg error diffusion (R. W. Floyd and L. Steinberg, "An
//     Adaptive Algorithm for Spatial Greyscale", Proc. SID 17, 1976), rows
//     in alternating directions, each pixel to the nearest entry; a large
//     miss (an edge) passes on only half of its error. Entries
//     that no pixel took are dropped, so every entry of the result is used.
//
// Every step is integer arithmetic in one fixed order, so the native build
// and opxhost.exe (whose i686 code might do floating point on the x87) give
// the same palette and the same indices for the same picture.
#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <vector>

#include "host/HostError.h"
#include "host/Transform.h"

namespace opxhost {

namespace {

// 6 bits a channel: 64 levels, 262144 cells, 11 MB of moments. Five bits (as
// in Wu's paper) cut only at multiples of 8 and left about 5% more squared
// error in photographs; seven would take 86 MB.
constexpr int kCellBits = 6;
constexpr int kLevels = 1 << kCellBits;
// The moment tables have one more plane in front of each axis, all zero, so
// that a box's sums are eight look-ups without bounds tests.
constexpr int kSide = kLevels + 1;
constexpr int kTableSize = kSide * kSide * kSide;

// Lloyd passes after Wu's cuts. On photographs four passes took the squared
// error about 8% below that of the cuts alone; four more gained only 1%.
constexpr int kRefinePasses = 4;

// The exact integer scores below square remainders smaller than a box's pixel
// count, which fits 64 bits while the count is at most 2^32. A PCX file holds
// at most 65534 x 65536 pixels, fewer than that.
constexpr uint64_t kMaxPixels = uint64_t{1} << 32;

// Floyd and Steinberg's weights, in sixteenths: ahead in the row, then behind,
// below and ahead in the next row.
constexpr int kAhead = 7;
constexpr int kBelowBehind = 3;
constexpr int kBelow = 5;
constexpr int kBelowAhead = 1;
constexpr int kWeightSum = 16;
static_assert(kAhead + kBelowBehind + kBelow + kBelowAhead == kWeightSum, "the weights share all");

// How much of a pixel's miss is passed on, in sixteenths. A miss of more than
// 10 levels (squared distance over 100) is an edge, or a colour the palette
// lacks, not the step between neighbouring entries that dithering hides:
// passing all of it on smears it over the next pixels as noise and stray
// colours. Half of it is passed on; smaller misses are passed on whole, so
// smooth gradients keep their full dithering.
constexpr int kSmallMissLimit = 100;
constexpr int kSmallMissShare = 16;
constexpr int kLargeMissShare = 8;
constexpr int kShareSum = 16;
// Errors are kept in units of 1 / (kWeightSum * kShareSum) of a level.
constexpr int kErrorUnits = kWeightSum * kShareSum;

struct Colour {
    int red = 0;
    int green = 0;
    int blue = 0;
};

int squaredDistance(const Colour& a, const Colour& b) {
    const int dr = a.red - b.red;
    const int dg = a.green - b.green;
    const int db = a.blue - b.blue;
    return dr * dr + dg * dg + db * db;
}

// Sums over a set of pixels. Unsigned, so that the inclusion-exclusion sums
// of a box may pass through negative values and still end exact.
struct Moments {
    uint64_t weight = 0;  // pixels
    uint64_t red = 0;     // sums of the channel values
    uint64_t green = 0;
    uint64_t blue = 0;
    uint64_t squares = 0;  // sum of red^2 + green^2 + blue^2

    void add(const uint8_t* rgb) {
        weight += 1;
        red += rgb[0];
        green += rgb[1];
        blue += rgb[2];
        squares +=
            uint64_t{rgb[0]} * rgb[0] + uint64_t{rgb[1]} * rgb[1] + uint64_t{rgb[2]} * rgb[2];
    }
    Moments& operator+=(const Moments& other) {
        weight += other.weight;
        red += other.red;
        green += other.green;
        blue += other.blue;
        squares += other.squares;
        return *this;
    }
    Moments& operator-=(const Moments& other) {
        weight -= other.weight;
        red -= other.red;
        green -= other.green;
        blue -= other.blue;
        squares -= other.squares;
        return *this;
    }
};

// floor(sum^2 / weight) exactly: with sum = q weight + r, it is
// q^2 weight + 2 q r + floor(r^2 / weight), and r < weight <= 2^32.
uint64_t squareOverWeight(uint64_t sum, uint64_t weight) {
    const uint64_t q = sum / weight;
    const uint64_t r = sum % weight;
    return q * q * weight + 2 * q * r + r * r / weight;
}

// sum(|mean|^2) over the pixels, floored: what a box takes off the total
// squared error when its pixels are replaced by their mean.
uint64_t meanScore(const Moments& m) {
    if (m.weight == 0) return 0;
    return squareOverWeight(m.red, m.weight) + squareOverWeight(m.green, m.weight) +
           squareOverWeight(m.blue, m.weight);
}

// The sum of squared distances from the pixels to their mean (never less than
// the true one, as the score is floored).
uint64_t squaredError(const Moments& m) {
    return m.squares - meanScore(m);
}

int roundedMean(uint64_t sum, uint64_t weight) {
    return static_cast<int>((2 * sum + weight) / (2 * weight));
}

Colour meanColour(const Moments& m) {
    return {roundedMean(m.red, m.weight), roundedMean(m.green, m.weight),
            roundedMean(m.blue, m.weight)};
}

int cellIndex(int r, int g, int b) {
    return (r * kSide + g) * kSide + b;
}

// The picture's histogram: each cell's moments, at table position 1 to 64 on
// each axis (plane 0 stays empty).
std::vector<Moments> histogramOf(const Picture& picture, size_t count) {
    constexpr int kDrop = 8 - kCellBits;
    std::vector<Moments> table(kTableSize);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* rgb = &picture.rgb[3 * i];
        table[cellIndex((rgb[0] >> kDrop) + 1, (rgb[1] >> kDrop) + 1, (rgb[2] >> kDrop) + 1)].add(
            rgb);
    }
    return table;
}

// The occupied cells, in table order: the points of the k-means passes.
std::vector<Moments> occupiedCells(const std::vector<Moments>& table) {
    std::vector<Moments> cells;
    for (const Moments& cell : table)
        if (cell.weight != 0) cells.push_back(cell);
    return cells;
}

// Turns the histogram into cumulative moments in place: entry (r, g, b) then
// holds the sums over every cell at or below r, g and b.
void accumulate(std::vector<Moments>& table) {
    const int strides[3] = {kSide * kSide, kSide, 1};
    for (int stride : strides)
        for (int i = 0; i < kTableSize; ++i)
            if ((i / stride) % kSide != 0) table[i] += table[i - stride];
}

// A box of cells: above low and at most high on each axis (red, green,
// blue), in table positions.
struct Box {
    std::array<int, 3> low{};
    std::array<int, 3> high{};
};

Moments boxMoments(const std::vector<Moments>& cumulative, const Box& box) {
    auto at = [&](int r, int g, int b) -> const Moments& { return cumulative[cellIndex(r, g, b)]; };
    const auto& [r0, g0, b0] = box.low;
    const auto& [r1, g1, b1] = box.high;
    Moments m = at(r1, g1, b1);
    m -= at(r1, g1, b0);
    m -= at(r1, g0, b1);
    m += at(r1, g0, b0);
    m -= at(r0, g1, b1);
    m += at(r0, g1, b0);
    m += at(r0, g0, b1);
    m -= at(r0, g0, b0);
    return m;
}

// Cuts box in two where the halves' summed scores are largest (their summed
// squared error is then least), trying red, green and blue in turn; the first
// of equal cuts wins. False when no cut leaves pixels on both sides.
bool cutBox(const std::vector<Moments>& cumulative, Box& box, Box& other) {
    const Moments whole = boxMoments(cumulative, box);
    uint64_t bestScore = 0;
    int bestAxis = -1;
    int bestAt = 0;
    for (int axis = 0; axis < 3; ++axis) {
        for (int at = box.low[axis] + 1; at < box.high[axis]; ++at) {
            Box lower = box;
            lower.high[axis] = at;
            const Moments below = boxMoments(cumulative, lower);
            Moments above = whole;
            above -= below;
            if (below.weight == 0 || above.weight == 0) continue;
            const uint64_t score = meanScore(below) + meanScore(above);
            if (bestAxis < 0 || score > bestScore) {
                bestScore = score;
                bestAxis = axis;
                bestAt = at;
            }
        }
    }
    if (bestAxis < 0) return false;
    other = box;
    box.high[bestAxis] = bestAt;
    other.low[bestAxis] = bestAt;
    return true;
}

// Wu's cutting: up to 256 boxes, fewer when no box with any error left can
// be cut (its pixels all lie in one cell).
std::vector<Colour> wuPalette(const std::vector<Moments>& cumulative) {
    std::vector<Box> boxes(1);
    boxes[0].high = {kLevels, kLevels, kLevels};
    std::vector<uint64_t> errors{squaredError(boxMoments(cumulative, boxes[0]))};
    while (boxes.size() < kMaxPaletteColours) {
        const size_t worst = std::max_element(errors.begin(), errors.end()) - errors.begin();
        if (errors[worst] == 0) break;
        Box other;
        if (!cutBox(cumulative, boxes[worst], other)) {
            errors[worst] = 0;
            continue;
        }
        errors[worst] = squaredError(boxMoments(cumulative, boxes[worst]));
        boxes.push_back(other);
        errors.push_back(squaredError(boxMoments(cumulative, other)));
    }
    std::vector<Colour> palette;
    for (const Box& box : boxes) palette.push_back(meanColour(boxMoments(cumulative, box)));
    return palette;
}

// The nearest entry of a palette by squared red, green and blue distance;
// of equal ones the lowest entry. The entries are searched outward from the
// query's green level, and a side stops once its green difference alone is
// more than the best distance found.
class NearestEntry {
public:
    explicit NearestEntry(const std::vector<Colour>& palette) {
        for (size_t i = 0; i < palette.size(); ++i)
            byGreen_.push_back({palette[i], static_cast<int>(i)});
        std::sort(byGreen_.begin(), byGreen_.end(), [](const Entry& a, const Entry& b) {
            return a.colour.green != b.colour.green ? a.colour.green < b.colour.green
                                                    : a.index < b.index;
        });
    }

    int find(const Colour& colour) const {
        const auto start =
            std::lower_bound(byGreen_.begin(), byGreen_.end(), colour.green,
                             [](const Entry& e, int green) { return e.colour.green < green; });
        int best = INT_MAX;
        int bestIndex = INT_MAX;
        auto consider = [&](const Entry& e) {
            const int distance = squaredDistance(e.colour, colour);
            if (distance < best || (distance == best && e.index < bestIndex)) {
                best = distance;
                bestIndex = e.index;
            }
        };
        auto tooFar = [&](const Entry& e) {
            const int dg = e.colour.green - colour.green;
            return dg * dg > best;
        };
        auto up = start;
        auto down = start;
        bool upOpen = true;
        bool downOpen = true;
        while (upOpen || downOpen) {
            if (upOpen) {
                if (up == byGreen_.end() || tooFar(*up))
                    upOpen = false;
                else
                    consider(*up++);
            }
            if (downOpen) {
                if (down == byGreen_.begin() || tooFar(*(down - 1)))
                    downOpen = false;
                else
                    consider(*--down);
            }
        }
        return bestIndex;
    }

private:
    struct Entry {
        Colour colour;
        int index;
    };
    std::vector<Entry> byGreen_;
};

// Lloyd passes over the cells, each weighted by its pixels and standing at its
// mean colour. An entry that gets no cell stays where it is. Stops early
// when a pass moves no entry.
void refine(std::vector<Colour>& palette, const std::vector<Moments>& cells) {
    for (int pass = 0; pass < kRefinePasses; ++pass) {
        const NearestEntry nearest(palette);
        std::vector<Moments> members(palette.size());
        for (const Moments& cell : cells) members[nearest.find(meanColour(cell))] += cell;
        bool moved = false;
        for (size_t i = 0; i < palette.size(); ++i) {
            if (members[i].weight == 0) continue;
            const Colour mean = meanColour(members[i]);
            moved = moved || squaredDistance(mean, palette[i]) != 0;
            palette[i] = mean;
        }
        if (!moved) break;
    }
}

// An error in kErrorUnits, as whole levels rounded half away from zero (the
// same both ways, so that the diffusion has no drift).
int errorToLevels(int error) {
    return error >= 0 ? (error + kErrorUnits / 2) / kErrorUnits
                      : -((-error + kErrorUnits / 2) / kErrorUnits);
}

int clampLevel(int value) {
    return std::min(255, std::max(0, value));
}

// Floyd-Steinberg: even rows left to right, odd rows right to left. Each
// pixel's colour plus the error passed to it is mapped to the nearest entry,
// and what that entry misses is passed on (half of a large miss). Rows of errors have one spare
// element at each end, so the edges need no tests.
std::vector<uint8_t> ditherTo(const Picture& picture, const std::vector<Colour>& palette) {
    const NearestEntry nearest(palette);
    const size_t width = static_cast<size_t>(picture.width);
    std::vector<uint8_t> indices(width * static_cast<size_t>(picture.height));
    std::vector<Colour> current(width + 2);
    std::vector<Colour> next(width + 2);
    for (int32_t y = 0; y < picture.height; ++y) {
        current.swap(next);
        std::fill(next.begin(), next.end(), Colour{});
        const bool rightward = y % 2 == 0;
        const int step = rightward ? 1 : -1;
        for (size_t n = 0; n < width; ++n) {
            const size_t x = rightward ? n : width - 1 - n;
            const uint8_t* rgb = picture.pixel(static_cast<int32_t>(x), y);
            const size_t e = x + 1;  // this pixel's error slot
            const Colour wanted{clampLevel(rgb[0] + errorToLevels(current[e].red)),
                                clampLevel(rgb[1] + errorToLevels(current[e].green)),
                                clampLevel(rgb[2] + errorToLevels(current[e].blue))};
            const int index = nearest.find(wanted);
            indices[static_cast<size_t>(y) * width + x] = static_cast<uint8_t>(index);
            const Colour miss{wanted.red - palette[index].red, wanted.green - palette[index].green,
                              wanted.blue - palette[index].blue};
            const int share = squaredDistance(miss, Colour{}) > kSmallMissLimit ? kLargeMissShare
                                                                                : kSmallMissShare;
            auto pass = [&](Colour& slot, int weight) {
                weight *= share;
                slot.red += weight * miss.red;
                slot.green += weight * miss.green;
                slot.blue += weight * miss.blue;
            };
            pass(current[e + step], kAhead);
            pass(next[e - step], kBelowBehind);
            pass(next[e], kBelow);
            pass(next[e + step], kBelowAhead);
        }
    }
    return indices;
}

uint32_t packed(const Colour& c) {
    return (static_cast<uint32_t>(c.red) << 16) | (static_cast<uint32_t>(c.green) << 8) |
           static_cast<uint32_t>(c.blue);
}

// The indexed picture with only the entries the pixels use, in palette
// order.
HostImage keepUsedEntries(const Picture& picture, std::vector<uint8_t> indices,
                          const std::vector<Colour>& palette) {
    std::vector<bool> used(palette.size());
    for (uint8_t index : indices) used[index] = true;
    std::vector<uint8_t> renumbered(palette.size());
    HostImage image;
    image.kind = ImageKindIndexed;
    image.width = picture.width;
    image.height = picture.height;
    for (size_t i = 0; i < palette.size(); ++i) {
        if (!used[i]) continue;
        renumbered[i] = static_cast<uint8_t>(image.palette.size());
        image.palette.push_back(packed(palette[i]));
    }
    for (uint8_t& index : indices) index = renumbered[index];
    image.pixels = std::move(indices);
    return image;
}

}  // namespace

HostImage toOptimisedPalette(const Picture& picture) {
    if (std::optional<HostImage> exact = toOwnColours(picture)) return std::move(*exact);

    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    if (uint64_t{count} > kMaxPixels)
        throw HostError(kExitCannotWrite, "the picture is larger than a PCX file holds");
    std::vector<Moments> table = histogramOf(picture, count);
    const std::vector<Moments> cells = occupiedCells(table);
    accumulate(table);
    std::vector<Colour> palette = wuPalette(table);
    table.clear();
    table.shrink_to_fit();
    refine(palette, cells);
    return keepUsedEntries(picture, ditherTo(picture, palette), palette);
}

}  // namespace opxhost
