#pragma once

#include <cstddef>
#include <cstdint>

namespace corvex::screencapture::x11 {

/// Makes a scaled frame whose source had some areas left out opaque again.
///
/// The frame holds premultiplied BGRA pixels whose alpha says how much of each
/// pixel's source area was visible (the left-out areas were transparent before
/// the frame was scaled down). A pixel of which enough was visible keeps the
/// average colour of its visible part; one mostly or wholly left out takes the
/// average of its nearest such neighbours, so that the frame shows what
/// surrounds the left-out areas rather than black holes. With nothing visible
/// at all, the frame is black.
void revealCoveredPixels(std::uint8_t* bgra, int width, int height, std::size_t bytesPerRow);

} // namespace corvex::screencapture::x11
