#pragma once

#include "platform/media/rect.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace corvex::media {
class PixelBuffer;
}

namespace corvex::analysis {

/// Finds letterbox bars (above and below the picture) and pillarbox bars (left
/// and right of it) from many frames over time, and proposes the crop that
/// leaves only the picture.
///
/// A bar is only believed when the evidence says it is part of the frame and
/// not of the film: the rows (or columns) stay black in almost every frame,
/// the picture reaches right up to the same edge in several different scenes,
/// the bars on both sides are of one size, and they are really black. So a
/// dark scene, a fade to black, a title card on black or a picture whose own
/// edges are dark is never cropped, and no single frame decides anything.
///
/// Frames may be of any size (a small one, 100 to 320 pixels wide, is plenty)
/// but all of one size: a frame of another size starts the evidence afresh.
/// Not thread-safe: one thread feeds it.
class BlackBarDetector final {
public:
    /// Looks at one BGRA frame. Frames that show almost nothing (black or
    /// nearly so) are not counted. The pixels `covered` marks (one byte a
    /// pixel, row by row, non-zero for those) show nothing of their own, so
    /// they are no evidence either way: a line is judged by what was seen of
    /// it, and a line of which nothing was seen ends a bar.
    void addFrame(media::PixelBuffer& frame, const std::vector<std::uint8_t>* covered = nullptr);

    /// The crop, in fractions of the frame, that removes the bars found so
    /// far; none while there is not enough evidence or there are no bars.
    std::optional<media::Rect> proposedCrop() const;

    /// Frames that showed something, and different scenes among them.
    int observedFrames() const { return m_observed; }
    int observedScenes() const { return m_scenes; }

    /// Luma (0-255) at or below which a pixel counts as black.
    static constexpr int kBlackLevel = 24;

private:
    /// Where one frame's picture ends: dark lines from each side.
    struct Observation {
        int top = 0;
        int bottom = 0;
        int left = 0;
        int right = 0;
        int scene = 0;
    };
    struct Window {
        int top = 0;
        int bottom = 0;
        int left = 0;
        int right = 0;
    };

    void reset(int width, int height);
    bool believable(const Window& window) const;

    int m_width = 0;
    int m_height = 0;
    int m_observed = 0;
    int m_scenes = 0;
    std::vector<int> m_lastSceneGrid;
    std::vector<Observation> m_observations; // the first kMaxObservations
    std::vector<double> m_rowLumaSum; // mean luma of what was seen of each row, summed over the observed frames
    std::vector<double> m_columnLumaSum;
    std::vector<int> m_rowSeen; // observed frames that showed something of each row
    std::vector<int> m_columnSeen;
};

} // namespace corvex::analysis
