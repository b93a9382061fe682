#pragma once
// The compiled-in pictures, the colours and the window background.

// The image set-up of start-up: colour overrides from the light colour,
// the three pictures, the shape, the work pixmap, the background, the map.
void dockSetUpImages();
