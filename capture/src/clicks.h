// Mouse button presses during a recording: a fading ring around the pointer's hot spot on the
// captured pictures (setClickDrawing) and the presses and releases for the host
// (setClickEvents, readClickEvents). Everything but readClickEvents runs on the capture thread.
#ifndef QUORVANE_CLICKS_H
#define QUORVANE_CLICKS_H

#include <cstdint>

namespace quorvane_capture {

// Initialize: takes the choices made before it, for a picture of the capture size.
void resetClicks(int64_t captureWidth, int64_t captureHeight, int64_t outputWidth,
                 int64_t outputHeight, int64_t frameRate);
// Finalize.
void closeClicks();
// Reads the buttons; called after every grab and while the capture thread waits for the next
// one, so a press shorter than a frame period is seen. `now` is the frame clock.
void pollClicks(double now);
// Draws the rings of recent presses on a captured picture (capture size) taken at `now`.
void markClicks(uint8_t* picture, double now);
// After a frame stamped `timeStamp` was appended: the presses and releases seen before it
// belong to it, the first picture that can show them.
void clicksFramed(int64_t timeStamp);

}  // namespace quorvane_capture

#endif
