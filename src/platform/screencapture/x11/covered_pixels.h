#pragma once

#include "platform/media/image_scaler.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvex::screencapture::x11 {

/// Area-averages `source`, premultiplied BGRA pixels whose fourth byte is the
/// share of each pixel's area that was visible (left-out areas are black), into
/// `frame`: each frame pixel the colour of the visible part of its area, its
/// fourth byte the visible share. The colour is divided by that share before it
/// is rounded: a premultiplied colour rounded first would have its rounding
/// magnified by the division, several steps off for a pixel of which little is
/// visible. Every source pixel cut by a frame pixel's edge is weighed by the part
/// of it inside. A frame pixel with nothing visible is black.
void averageVisible(const media::ConstImageView& source, const media::ImageView& frame);

/// Makes a frame whose source had some areas left out opaque again.
///
/// The frame holds BGRA pixels (as averageVisible makes them) whose alpha says
/// how much of each pixel's source area was visible, their colour that of the
/// visible part. A pixel of which enough was visible keeps its colour; one
/// mostly or wholly left out takes the average of its nearest such neighbours,
/// so that the lights get what surrounds the left-out areas rather than black
/// holes. With nothing visible at all, the frame is black.
///
/// Returns which pixels took their colour from their neighbours (one byte a
/// pixel, row by row, 1 for those): that colour is a guess, which the search
/// for black bars must not take for evidence (it spreads the picture into a
/// bar the left-out window straddles). Empty when every pixel kept its own
/// colour.
std::vector<std::uint8_t> revealCoveredPixels(std::uint8_t* bgra, int width, int height, std::size_t bytesPerRow);

} // namespace corvex::screencapture::x11
