// How wide an event is against how wide the optics draw a point. An event's width is the full
// width at half maximum of a round Gaussian, integrated over each pixel, fitted to its excess in
// the reported frame round its centroid. The optics' width comes from the steepest edge of the
// mean frame, the Moon's limb: across a sharp edge the optics spread light as they spread a point,
// so the step of the edge from pixel to pixel is the same pixel-integrated Gaussian. An event
// narrower than kSharpFraction of the optics' width was not drawn by them (a cosmic ray, a
// sensor fault). Pure computation: no I/O.
#pragma once

// The ring as catalogue/measure.h has it.
struct RingView;

// An event narrower than this share of the optics' width is sharp.
inline constexpr double kSharpFraction = 0.6;
// The fit looks at the pixels within this many pixels (a square) of the centroid.
inline constexpr int kWidthReach = 5;
// Widths the fits can give, full width at half maximum in pixels.
inline constexpr double kLeastFittedFwhm = 0.05;
inline constexpr double kMostFittedFwhm = 14.0;
// An edge sample needs a mean-frame gradient of at least this many grey levels per pixel and at
// least half the frame's steepest; the optics' width needs this many clean samples (a limb gives
// hundreds, a spot or a crater a few). The profile across an edge runs kEdgeReach pixels either
// side, wide enough to see the step level off for widths up to kMostEdgeFwhm; a wider edge (a
// terminator, or optics too blurred to measure here) gives no width.
inline constexpr int kEdgeReach = 8;
inline constexpr double kMostEdgeFwhm = 7.0;
inline constexpr double kLeastEdgeGradient = 6.0;
inline constexpr int kLeastEdgeSamples = 20;

// Which stored rows a width fit uses: all, or only those of one field (odd_or_even of the row
// 1 or 2) for interlaced video, where a flash seen in one field lights every other row.
enum class WidthRows { all = 0, odd = 1, even = 2 };

// Full width at half maximum, pixels, of the Gaussian that best fits (least squares, its height
// free) the excess of frame ring.target_frame over the ring's mean of the other frames at the
// pixels within kWidthReach of (cx, cy), centred there. From kLeastFittedFwhm to kMostFittedFwhm;
// NaN when the excess there is not positive anywhere the fit looks.
double fitted_fwhm(const RingView& ring, double cx, double cy, WidthRows rows);

// The optics' full width at half maximum, pixels, from the steepest edges of the ring's mean
// frame: the median width of the step across the edge at each place where the gradient peaks,
// at least kLeastEdgeGradient and half the frame's steepest (but for a few), with no saturated
// mean pixel in the profile and the profile a clean blurred step (profiles of 2 kEdgeReach + 1
// pixels along rows or columns, corrected for the edge's slant) at most kMostEdgeFwhm wide. NaN
// when fewer than kLeastEdgeSamples places qualify (no limb in the frame).
double edge_fwhm(const RingView& ring);
