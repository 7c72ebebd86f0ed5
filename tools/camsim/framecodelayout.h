#pragma once

// Layout of the machine-readable frame counter that camsim draws into every frame.
// Shared by the simulator (drawing) and tests/support/framecode.cpp (reading); plain C++ so
// that both sides include it whatever they link.
//
// The band spans the full width of the picture in its vertical middle, clear of the top 10 %
// and bottom 15 % where the recorder stamps its overlay. It holds 24 cells of equal width,
// cell 0 at the left carrying the most significant bit of the counter (mod 2^24). Each cell
// is split horizontally:
//   - the bit part (upper):       white = 1, black = 0;
//   - the check part (lower):     the complement of the bit part.
// A reader samples the centre of both parts of every cell; a cell whose two parts are not
// clearly one black and one white makes the whole band unreadable. A black, white or natural
// picture therefore never reads as a counter. All positions are fractions of the picture
// size, so the band survives scaling to any size and aspect ratio, and JPEG.
namespace framecode {

constexpr int cellCount = 24;
constexpr unsigned counterMask = (1u << cellCount) - 1;

// Vertical extent of the parts, as fractions of the picture height.
constexpr double bitTop = 0.42;
constexpr double bitBottom = 0.52;
constexpr double checkTop = 0.52;
constexpr double checkBottom = 0.58;

// Readers sample this central share of each part (in both directions), away from the edges
// that scaling and JPEG blur.
constexpr double sampleShare = 0.5;

// Grey levels a sampled part must reach to count as black or white.
constexpr int blackBelow = 80;
constexpr int whiteAbove = 175;

// Left and right edges of cell i, as fractions of the picture width.
constexpr double cellLeft(int i) {
    return double(i) / cellCount;
}
constexpr double cellRight(int i) {
    return double(i + 1) / cellCount;
}

} // namespace framecode
